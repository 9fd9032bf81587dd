// Process-wide single-instance guard, and the channel through which a second
// start asks the running program to show itself.
//
// The first process that acquires a name holds it until it ends; the operating
// system drops it with the process, however the process ends. On Windows the
// name is a named kernel mutex ("Global\..." makes it machine-wide); on Linux
// it is a listening abstract-namespace Unix socket, released by the kernel.
// On Linux every user has an audio server and a desktop of their own, so the
// program's name there carries the user id: one Sonvale per user.
#pragma once

#include <string>

namespace sonvale {

// The name every Sonvale process competes for on Windows, and the stem of the
// per-user name on Linux.
inline constexpr const char* kSingleInstanceName = "Global\\my_driver_win";

// The name this process competes for: kSingleInstanceName on Windows;
// kSingleInstanceName, "-uid-" and the real user id on Linux.
std::string SingleInstanceName();

// Last-error value reported when another process already holds the name
// (ERROR_ALREADY_EXISTS on Windows, EADDRINUSE on Linux).
int SingleInstanceAlreadyExistsError();

class SingleInstance {
public:
    // Tries to acquire `name` at once. lastError() is 0 exactly when this
    // object now holds the name.
    explicit SingleInstance(const std::string& name = kSingleInstanceName);
    ~SingleInstance();  // releases the name (the process end does the same)

    SingleInstance(const SingleInstance&) = delete;
    SingleInstance& operator=(const SingleInstance&) = delete;

    bool acquired() const { return lastError_ == 0; }
    // 0 when acquired; SingleInstanceAlreadyExistsError() when another holder
    // exists; any other value is a failure to create the guard, which callers
    // treat like a running instance.
    int lastError() const { return lastError_; }

    // Holder side (Linux): a descriptor that becomes readable when another
    // start of the same user asks the holder to show itself; -1 when there is
    // none (Windows, or not acquired). Watch it with poll or a notifier.
    int showRequestDescriptor() const;
    // Holder side: answers the waiting requests and returns how many came
    // from this user (others' are refused). Never blocks.
    int takeShowRequests();

private:
    int lastError_ = 0;
#ifdef _WIN32
    void* handle_ = nullptr;
#else
    int fd_ = -1;
#endif
};

// Second start: asks the holder of `name` to show its window and waits for
// its answer up to `timeoutMs`. True when the holder answered; false where
// there is no such channel (Windows) or the holder did not answer.
bool AskHolderToShow(const std::string& name, int timeoutMs = 3000);

}  // namespace sonvale
