#include "SingleInstance.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

using sonvale::SingleInstance;
using sonvale::SingleInstanceAlreadyExistsError;

namespace {

// A name of this test process only, so that a Sonvale running on the machine
// (or another run of these tests) does not interfere.
std::string uniqueName(const char* tag) {
#ifdef _WIN32
    const unsigned long pid = GetCurrentProcessId();
#else
    const unsigned long pid = static_cast<unsigned long>(getpid());
#endif
    return std::string("Global\\sonvale_test_") + tag + "_" + std::to_string(pid);
}

}  // namespace

TEST(SingleInstance, FirstHolderWinsUntilItReleases) {
    const std::string name = uniqueName("first");
    {
        SingleInstance first(name);
        EXPECT_TRUE(first.acquired());
        EXPECT_EQ(first.lastError(), 0);

        SingleInstance second(name);
        EXPECT_FALSE(second.acquired());
        EXPECT_EQ(second.lastError(), SingleInstanceAlreadyExistsError());

        // A third try still fails and does not disturb the holder.
        SingleInstance third(name);
        EXPECT_FALSE(third.acquired());
        EXPECT_TRUE(first.acquired());
    }
    SingleInstance again(name);
    EXPECT_TRUE(again.acquired()) << "the name must be free once its holder is gone";
}

TEST(SingleInstance, DifferentNamesAreIndependent) {
    SingleInstance a(uniqueName("a"));
    SingleInstance b(uniqueName("b"));
    EXPECT_TRUE(a.acquired());
    EXPECT_TRUE(b.acquired());
}

TEST(SingleInstance, TheProgramsOwnNameIsTheMachineWideMutexName) {
    EXPECT_STREQ(sonvale::kSingleInstanceName, "Global\\my_driver_win");
#ifdef _WIN32
    EXPECT_EQ(sonvale::SingleInstanceName(), sonvale::kSingleInstanceName);
#endif
}

#ifndef _WIN32

TEST(SingleInstance, UnusableNameIsAFailureNotAnotherInstance) {
    SingleInstance tooLong(std::string(200, 'x'));
    EXPECT_FALSE(tooLong.acquired());
    EXPECT_NE(tooLong.lastError(), 0);
    EXPECT_NE(tooLong.lastError(), SingleInstanceAlreadyExistsError());
}

// The holder is another process; killing it without any clean-up frees the
// name, as a crash would.
TEST(SingleInstance, KilledHolderReleasesTheName) {
    const std::string name = uniqueName("killed");
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        SingleInstance held(name);
        const char c = held.acquired() ? 'y' : 'n';
        (void)!write(ready[1], &c, 1);
        for (;;) pause();
    }
    close(ready[1]);
    char c = 0;
    ASSERT_EQ(read(ready[0], &c, 1), 1);
    close(ready[0]);
    ASSERT_EQ(c, 'y');

    {
        SingleInstance blocked(name);
        EXPECT_EQ(blocked.lastError(), SingleInstanceAlreadyExistsError());
    }
    kill(child, SIGKILL);
    int status = 0;
    waitpid(child, &status, 0);
    SingleInstance after(name);
    EXPECT_TRUE(after.acquired());
}

// A program started by the holder (a helper, a shell command) must not keep
// the name alive after the holder lets it go.
TEST(SingleInstance, StartedProgramsDoNotInheritTheName) {
    const std::string name = uniqueName("inherit");
    pid_t child = -1;
    {
        SingleInstance held(name);
        ASSERT_TRUE(held.acquired());
        // The write end closes when exec succeeds; reading EOF tells the
        // parent that the child is now the other program.
        int execed[2];
        ASSERT_EQ(pipe2(execed, O_CLOEXEC), 0);
        child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            execlp("sleep", "sleep", "30", static_cast<char*>(nullptr));
            _exit(127);
        }
        close(execed[1]);
        char c;
        EXPECT_EQ(read(execed[0], &c, 1), 0);
        close(execed[0]);
    }
    SingleInstance next(name);
    EXPECT_TRUE(next.acquired());
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
}

// A second start of the same user reaches the holder and is answered.
TEST(SingleInstance, ASecondStartReachesTheHolder) {
    const std::string name = sonvale::SingleInstanceName() + "-test-" + std::to_string(getpid());
    SingleInstance held(name);
    ASSERT_TRUE(held.acquired());
    ASSERT_GE(held.showRequestDescriptor(), 0);
    EXPECT_EQ(held.takeShowRequests(), 0);

    bool answered = false;
    std::thread second([&] { answered = sonvale::AskHolderToShow(name, 5000); });
    pollfd pfd{held.showRequestDescriptor(), POLLIN, 0};
    ASSERT_EQ(poll(&pfd, 1, 5000), 1);
    int taken = 0;
    for (int i = 0; i < 50 && taken == 0; ++i) {
        taken = held.takeShowRequests();
        if (taken == 0) usleep(10000);
    }
    second.join();
    EXPECT_EQ(taken, 1);
    EXPECT_TRUE(answered);
}

// A start of another user holds a name of its own, and its requests are
// refused by this user's holder.
TEST(SingleInstance, AnotherUserHoldsANameOfItsOwnAndCannotRaiseThisOne) {
    if (getuid() != 0) GTEST_SKIP() << "becoming another user needs root";
    const std::string name = sonvale::SingleInstanceName() + "-test-" + std::to_string(getpid());
    SingleInstance held(name);
    ASSERT_TRUE(held.acquired());
    int result[2];
    ASSERT_EQ(pipe(result), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        char c = 'e';
        if (setgid(65534) == 0 && setuid(65534) == 0) {
            SingleInstance own(sonvale::SingleInstanceName());
            const bool refused = !sonvale::AskHolderToShow(name, 1000);
            c = own.acquired() && refused ? 'y' : 'n';
        }
        (void)!write(result[1], &c, 1);
        _exit(0);
    }
    close(result[1]);
    // The holder takes the other user's connection and answers nothing.
    for (int i = 0; i < 150; ++i) {
        EXPECT_EQ(held.takeShowRequests(), 0);
        pollfd done{result[0], POLLIN, 0};
        if (poll(&done, 1, 10) == 1) break;
    }
    char c = 0;
    ASSERT_EQ(read(result[0], &c, 1), 1);
    close(result[0]);
    waitpid(child, nullptr, 0);
    EXPECT_NE(sonvale::SingleInstanceName(), std::string(sonvale::kSingleInstanceName));
    EXPECT_EQ(c, 'y') << "another user's start must hold its own name and not raise this one";
}

#endif
