#include "ExitSignals.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <QSocketNotifier>
#include <cerrno>

namespace {

int gPipe[2] = {-1, -1};
constexpr int kSignals[] = {SIGINT, SIGTERM, SIGHUP};

void OnSignal(int sig) {
    // Only async-signal-safe work here: one byte into the pipe.
    const int saved = errno;
    const unsigned char byte = static_cast<unsigned char>(sig);
    (void)!::write(gPipe[1], &byte, 1);
    errno = saved;
}

}  // namespace

ExitSignals::ExitSignals(QObject* parent) : QObject(parent) {
    if (::pipe2(gPipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        gPipe[0] = gPipe[1] = -1;
        return;
    }
    notifier_ = new QSocketNotifier(gPipe[0], QSocketNotifier::Read, this);
    connect(notifier_, &QSocketNotifier::activated, this, &ExitSignals::onReadable);
    struct sigaction sa = {};
    sa.sa_handler = OnSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    for (int sig : kSignals) sigaction(sig, &sa, nullptr);
}

ExitSignals::~ExitSignals() {
    // From here on a signal ends the process the default way; the atexit hook
    // and the keeper process still restore the defaults then.
    for (int sig : kSignals) ::signal(sig, SIG_DFL);
    delete notifier_;
    notifier_ = nullptr;
    for (int& fd : gPipe) {
        if (fd >= 0) ::close(fd);
        fd = -1;
    }
}

void ExitSignals::onReadable() {
    unsigned char bytes[16];
    for (;;) {
        const ssize_t n = ::read(gPipe[0], bytes, sizeof bytes);
        if (n <= 0) break;
        for (ssize_t i = 0; i < n; ++i) emit terminationRequested(bytes[i]);
    }
}
