// Linux backend of the single-instance guard: a Unix stream socket bound to a
// name in the abstract namespace. Binding is atomic, the name is visible to all
// users of the network namespace, and the kernel frees it when the last
// descriptor closes, so a crashed or killed holder never leaves it behind.
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstring>

#include "SingleInstance.h"

namespace sonvale {

int SingleInstanceAlreadyExistsError() { return EADDRINUSE; }

SingleInstance::SingleInstance(const std::string& name) {
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    // sun_path[0] stays 0: abstract namespace. The name follows, not
    // terminated; the address length says where it ends.
    if (name.empty() || name.size() > sizeof(addr.sun_path) - 1) {
        lastError_ = ENAMETOOLONG;
        return;
    }
    std::memcpy(addr.sun_path + 1, name.data(), name.size());
    const auto len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size());

    // CLOEXEC: programs this process starts must not inherit the name and keep
    // it alive after this process has gone.
    fd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd_ < 0) {
        lastError_ = errno != 0 ? errno : EINVAL;
        return;
    }
    if (::bind(fd_, reinterpret_cast<const sockaddr*>(&addr), len) != 0) {
        lastError_ = errno != 0 ? errno : EINVAL;
        ::close(fd_);
        fd_ = -1;
        return;
    }
    lastError_ = 0;
}

SingleInstance::~SingleInstance() {
    if (fd_ >= 0) ::close(fd_);
}

}  // namespace sonvale
