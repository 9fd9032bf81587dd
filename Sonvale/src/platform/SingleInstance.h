// Process-wide single-instance guard.
//
// The first process that acquires a name holds it until it ends; the operating
// system drops it with the process, however the process ends. On Windows the
// name is a named kernel mutex ("Global\..." makes it machine-wide); on Linux
// it is an abstract-namespace Unix socket of the same name, which is likewise
// shared by every user of the machine and released by the kernel.
#pragma once

#include <string>

namespace sonvale {

// The name every Sonvale process competes for.
inline constexpr const char* kSingleInstanceName = "Global\\my_driver_win";

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

private:
    int lastError_ = 0;
#ifdef _WIN32
    void* handle_ = nullptr;
#else
    int fd_ = -1;
#endif
};

}  // namespace sonvale
