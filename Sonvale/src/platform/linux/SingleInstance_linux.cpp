// Linux backend of the single-instance guard: a Unix stream socket bound to a
// name in the abstract namespace. Binding is atomic and the kernel frees the
// name when the last descriptor closes, so a crashed or killed holder never
// leaves it behind. The socket also listens: a second start connects, says
// "show", and the holder answers once it has taken the request.
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstring>
#include <string>

#include "SingleInstance.h"

namespace sonvale {
namespace {

// What a second start sends, and what the holder answers.
constexpr char kShowRequest[] = "show\n";
constexpr char kShowAnswer = 'k';
// Connections waiting to be accepted; more simultaneous starts than this are
// refused by the kernel and fall back to the message box.
constexpr int kBacklog = 8;
// How long the holder waits for a connected start's request. It was sent
// before connect() returned on the other side, so it is there at once.
constexpr int kRequestWaitMs = 100;

// Fills `addr` with the abstract name; the returned length is 0 when the name
// does not fit.
socklen_t AbstractAddress(const std::string& name, sockaddr_un& addr) {
    addr = sockaddr_un{};
    addr.sun_family = AF_UNIX;
    // sun_path[0] stays 0: abstract namespace. The name follows, not
    // terminated; the address length says where it ends.
    if (name.empty() || name.size() > sizeof(addr.sun_path) - 1) return 0;
    std::memcpy(addr.sun_path + 1, name.data(), name.size());
    return static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size());
}

long long MonotonicMs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// Waits for `events` on `fd` until `deadline` (monotonic ms).
bool WaitFor(int fd, short events, long long deadline) {
    for (;;) {
        const long long left = deadline - MonotonicMs();
        if (left < 0) return false;
        pollfd pfd{fd, events, 0};
        const int n = ::poll(&pfd, 1, static_cast<int>(left));
        if (n > 0) return (pfd.revents & events) != 0;
        if (n == 0) return false;
        if (errno != EINTR) return false;
    }
}

}  // namespace

int SingleInstanceAlreadyExistsError() { return EADDRINUSE; }

std::string SingleInstanceName() {
    return std::string(kSingleInstanceName) + "-uid-" + std::to_string(::getuid());
}

SingleInstance::SingleInstance(const std::string& name) {
    sockaddr_un addr;
    const socklen_t len = AbstractAddress(name, addr);
    if (len == 0) {
        lastError_ = ENAMETOOLONG;
        return;
    }
    // CLOEXEC: programs this process starts must not inherit the name and keep
    // it alive after this process has gone. NONBLOCK: accepting never waits.
    fd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd_ < 0) {
        lastError_ = errno != 0 ? errno : EINVAL;
        return;
    }
    if (::bind(fd_, reinterpret_cast<const sockaddr*>(&addr), len) != 0 ||
        ::listen(fd_, kBacklog) != 0) {
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

int SingleInstance::showRequestDescriptor() const { return fd_; }

int SingleInstance::takeShowRequests() {
    if (fd_ < 0) return 0;
    int taken = 0;
    for (;;) {
        const int client = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (client < 0) {
            if (errno == EINTR) continue;
            break;  // EAGAIN: no more waiting
        }
        // Only a start of this user may raise this user's window.
        ucred peer{};
        socklen_t peerLen = sizeof(peer);
        const bool sameUser = ::getsockopt(client, SOL_SOCKET, SO_PEERCRED, &peer, &peerLen) == 0 &&
                              peer.uid == ::getuid();
        char request[sizeof(kShowRequest) - 1] = {};
        std::size_t got = 0;
        const long long deadline = MonotonicMs() + kRequestWaitMs;
        while (sameUser && got < sizeof(request) && WaitFor(client, POLLIN, deadline)) {
            const ssize_t n = ::read(client, request + got, sizeof(request) - got);
            if (n <= 0) break;
            got += static_cast<std::size_t>(n);
        }
        if (sameUser && got == sizeof(request) &&
            std::memcmp(request, kShowRequest, sizeof(request)) == 0) {
            ++taken;
            ::send(client, &kShowAnswer, 1, MSG_NOSIGNAL);
        }
        ::close(client);
    }
    return taken;
}

bool AskHolderToShow(const std::string& name, int timeoutMs) {
    sockaddr_un addr;
    const socklen_t len = AbstractAddress(name, addr);
    if (len == 0) return false;
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    bool answered = false;
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&addr), len) == 0 &&
        ::send(fd, kShowRequest, sizeof(kShowRequest) - 1, MSG_NOSIGNAL) ==
            static_cast<ssize_t>(sizeof(kShowRequest) - 1)) {
        char answer = 0;
        answered = WaitFor(fd, POLLIN, MonotonicMs() + timeoutMs) && ::read(fd, &answer, 1) == 1 &&
                   answer == kShowAnswer;
    }
    ::close(fd);
    return answered;
}

}  // namespace sonvale
