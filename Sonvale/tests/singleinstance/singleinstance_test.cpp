#include "SingleInstance.h"

#include <gtest/gtest.h>

#include <string>

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
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

#endif
