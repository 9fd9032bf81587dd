// Linux backend of the driver link. The companion devices are two PulseAudio
// pipe modules (scripts/sonvale-driver): module-pipe-sink "Sonvale_Speaker"
// writes what apps play into speaker.fifo, module-pipe-source
// "Sonvale_Microphone" offers what we write into microphone.fifo. Both FIFOs
// live in a per-user runtime directory named after the interface GUID, which
// plays the part of the device path.
#include "platform/DriverLink.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace sonvale {
namespace {

constexpr char kGuidText[] = "{A918DC47-8798-45A3-8351-CBF0AB47208A}";
// How long a read waits for data before reporting none. Data that arrives
// meanwhile ends the wait at once, so the wait costs no delay while audio
// flows; while nothing plays, a long wait keeps a polling reader from waking
// a hundred times a second for nothing.
constexpr int kDataWaitMs = 40;
// How long a read of a missing device waits before reporting it, and how
// long a write waits for room in the FIFO before giving up.
constexpr int kReadWaitMs = 10;
constexpr int kWriteWaitMs = 2;
// Writes of at most PIPE_BUF bytes are atomic on a pipe: the reader never sees
// half a piece, so a write given up part-way leaves no split frame behind.
constexpr std::uint32_t kWritePiece = PIPE_BUF - PIPE_BUF % kDriverFrameBytes;
// Capacity asked of the kernel for the speaker FIFO: one page, 21 ms of the
// sink's stereo. The sink module writes whenever the FIFO has room, so
// whatever the FIFO holds is delay in front of the speaker; at the kernel's
// default of 64 KiB that is 340 ms.
constexpr int kSpeakerPipeBytes = 4096;

const char* envValue(const char* name) {
    const char* v = std::getenv(name);
    return (v != nullptr && v[0] != '\0') ? v : nullptr;
}

bool isFifo(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 && S_ISFIFO(st.st_mode);
}

// UTF-8 to UTF-32 wide text; false on malformed input.
bool utf8ToWide(const std::string& in, std::wstring& out) {
    out.clear();
    for (std::size_t i = 0; i < in.size();) {
        const auto c = static_cast<unsigned char>(in[i]);
        int extra;
        char32_t cp;
        if (c < 0x80) {
            extra = 0;
            cp = c;
        } else if ((c & 0xE0) == 0xC0) {
            extra = 1;
            cp = c & 0x1F;
        } else if ((c & 0xF0) == 0xE0) {
            extra = 2;
            cp = c & 0x0F;
        } else if ((c & 0xF8) == 0xF0) {
            extra = 3;
            cp = c & 0x07;
        } else {
            return false;
        }
        if (i + extra >= in.size() && extra > 0) return false;
        for (int k = 1; k <= extra; ++k) {
            const auto cc = static_cast<unsigned char>(in[i + k]);
            if ((cc & 0xC0) != 0x80) return false;
            cp = (cp << 6) | (cc & 0x3F);
        }
        static constexpr char32_t kMin[] = {0, 0x80, 0x800, 0x10000};
        if (cp < kMin[extra] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
        out.push_back(static_cast<wchar_t>(cp));
        i += 1 + extra;
    }
    return true;
}

// UTF-32 wide text to UTF-8; false on values that are not code points.
bool wideToUtf8(const wchar_t* in, std::string& out) {
    out.clear();
    for (; *in != L'\0'; ++in) {
        const auto cp = static_cast<std::uint32_t>(*in);
        if (cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
        if (cp < 0x80) {
            out.push_back(static_cast<char>(cp));
        } else if (cp < 0x800) {
            out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        } else if (cp < 0x10000) {
            out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        } else {
            out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        }
    }
    return true;
}

long long monotonicMs() {
    struct timespec ts;
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

void sleepMs(int ms) {
    struct timespec ts {
        ms / 1000, (ms % 1000) * 1000000L
    };
    while (::nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

// Opens a FIFO, refusing anything else that may sit at the path.
int openFifo(const std::string& path, int flags) {
    if (!isFifo(path)) return -1;
    int fd;
    do {
        fd = ::open(path.c_str(), flags | O_NONBLOCK | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return -1;
    struct stat st;
    if (::fstat(fd, &st) != 0 || !S_ISFIFO(st.st_mode)) {
        ::close(fd);
        return -1;
    }
    return fd;
}

void closeFd(int& fd) {
    if (fd >= 0) ::close(fd);
    fd = -1;
}

// Writes to a pipe with SIGPIPE blocked in this thread, so a vanished reader
// gives EPIPE instead of a signal. A SIGPIPE raised by this write is taken
// back before the mask is restored; one that was already pending stays.
ssize_t writeNoSigpipe(int fd, const void* data, std::size_t length, int& error) {
    sigset_t pipeSet, oldSet, pending;
    sigemptyset(&pipeSet);
    sigaddset(&pipeSet, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipeSet, &oldSet);
    sigemptyset(&pending);
    sigpending(&pending);
    const bool wasPending = sigismember(&pending, SIGPIPE) == 1;

    ssize_t n;
    do {
        n = ::write(fd, data, length);
    } while (n < 0 && errno == EINTR);
    error = n < 0 ? errno : 0;

    if (n < 0 && error == EPIPE && !wasPending) {
        const struct timespec zero { 0, 0 };
        while (sigtimedwait(&pipeSet, nullptr, &zero) < 0 && errno == EINTR) {
        }
    }
    pthread_sigmask(SIG_SETMASK, &oldSet, nullptr);
    return n;
}

}  // namespace

std::string driverInterfaceDirectory() {
    if (const char* dir = envValue(kDriverDirEnv)) return dir;
    if (const char* xdg = envValue("XDG_RUNTIME_DIR")) {
        return std::string(xdg) + "/sonvale-" + kGuidText;
    }
    return "/tmp/sonvale-" + std::to_string(::getuid()) + "-" + kGuidText;
}

bool findDriverInterface(wchar_t* destination, int memberIndex, std::size_t capacity) {
    const std::string dir = driverInterfaceDirectory();
    // Only a real directory of our own counts: under /tmp anybody could have
    // put something at that name.
    struct stat st;
    if (::lstat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != ::getuid()) {
        std::fputs("No HDEVINFO available for this GUID\n", stdout);
        std::fflush(stdout);
        return false;
    }
    // One directory is one interface; both FIFOs must be there.
    if (memberIndex != 0 || destination == nullptr || capacity == 0) return false;
    if (!isFifo(dir + "/" + kSpeakerFifoName) || !isFifo(dir + "/" + kMicrophoneFifoName)) {
        return false;
    }
    std::wstring path;
    if (!utf8ToWide(dir, path)) return false;
    return copyDevicePath(path.data(), path.size(), destination, capacity);
}

DriverDevice::DriverDevice() = default;

DriverDevice::~DriverDevice() {
    closeFd(micFd_);
    closeFd(speakerFd_);
}

bool DriverDevice::open(const wchar_t* path) {
    closeFd(micFd_);
    closeFd(speakerFd_);
    pendingBytes_ = 0;
    opened_ = false;
    directory_.clear();
    if (path == nullptr || path[0] == L'\0' || !wideToUtf8(path, directory_)) {
        directory_.clear();
        return false;
    }
    // Both are attempted; a missing reader of the microphone FIFO is retried
    // by every write, so the device recovers when the module comes back.
    const bool speaker = reopenSpeaker();
    const bool mic = reopenMicrophone();
    opened_ = speaker && mic;
    return opened_;
}

bool DriverDevice::isOpen() const { return opened_; }

bool DriverDevice::reopenSpeaker() {
    closeFd(speakerFd_);
    pendingBytes_ = 0;
    if (directory_.empty()) return false;
    speakerFd_ = openFifo(directory_ + "/" + kSpeakerFifoName, O_RDONLY);
    speakerPipeSmall_ = false;
    if (speakerFd_ < 0) return false;
    shrinkSpeakerPipe();
    return true;
}

void DriverDevice::shrinkSpeakerPipe() {
#ifdef F_SETPIPE_SZ
    // The kernel refuses (EBUSY) while the FIFO holds more than the new size;
    // the audio in it is not thrown away for this: readPcm tries again each
    // time it has emptied the FIFO. The setting lasts as long as the sink
    // module keeps its end open.
    if (::fcntl(speakerFd_, F_SETPIPE_SZ, kSpeakerPipeBytes) >= 0) speakerPipeSmall_ = true;
#else
    speakerPipeSmall_ = true;
#endif
}

bool DriverDevice::reopenMicrophone() {
    closeFd(micFd_);
    micStalled_ = false;
    if (directory_.empty()) return false;
    // Without a reader this fails with ENXIO instead of filling a FIFO that
    // nobody drains.
    micFd_ = openFifo(directory_ + "/" + kMicrophoneFifoName, O_WRONLY);
    return micFd_ >= 0;
}

bool DriverDevice::writePcm(const void* data, std::uint32_t length, std::uint32_t* bytesReturned) {
    if (bytesReturned != nullptr) *bytesReturned = 0;
    if (directory_.empty() || (data == nullptr && length != 0)) return false;
    if (length == 0) return true;
    if (micFd_ < 0 && !reopenMicrophone()) return false;

    const auto* bytes = static_cast<const unsigned char*>(data);
    std::uint32_t written = 0;
    const long long deadline = monotonicMs() + kWriteWaitMs;
    while (written < length) {
        const std::uint32_t piece = std::min(length - written, kWritePiece);
        int error = 0;
        const ssize_t n = writeNoSigpipe(micFd_, bytes + written, piece, error);
        if (n > 0) {
            written += static_cast<std::uint32_t>(n);
            continue;
        }
        if (n < 0 && error == EAGAIN) {
            // A reader that stopped draining costs one short wait, not one per
            // chunk: until a write gets through again, a full pipe fails at once.
            const long long left = micStalled_ ? 0 : deadline - monotonicMs();
            if (left <= 0) {
                micStalled_ = true;
                break;
            }
            struct pollfd pfd {
                micFd_, POLLOUT, 0
            };
            if (::poll(&pfd, 1, static_cast<int>(left)) < 0 && errno != EINTR) break;
            if ((pfd.revents & (POLLERR | POLLHUP | POLLNVAL)) != 0) {
                closeFd(micFd_);
                break;
            }
            continue;
        }
        // EPIPE (the reader went away) or another error: reopen next time.
        closeFd(micFd_);
        break;
    }
    if (bytesReturned != nullptr) *bytesReturned = written;
    if (written == length) micStalled_ = false;
    return written == length;
}

bool DriverDevice::readPcm(void* area, std::uint32_t capacity, std::uint32_t* bytesReturned,
                           bool waitForData) {
    if (bytesReturned != nullptr) *bytesReturned = 0;
    if (directory_.empty() || area == nullptr) return false;
    if (speakerFd_ < 0 && !reopenSpeaker()) {
        sleepMs(kReadWaitMs);  // a polling caller must not spin on a missing device
        return false;
    }
    const std::uint32_t usable = capacity - capacity % kDriverFrameBytes;
    if (usable == 0) return true;

    auto* out = static_cast<unsigned char*>(area);
    std::uint32_t total = pendingBytes_;
    std::memcpy(out, pending_, pendingBytes_);

    // A caller that may not be held up counts as having waited already.
    bool waited = !waitForData;
    for (;;) {
        const ssize_t n = ::read(speakerFd_, out + total, usable - total);
        if (n > 0) {
            total += static_cast<std::uint32_t>(n);
            // A read that did not fill the area has emptied the FIFO.
            if (!speakerPipeSmall_ && total < usable) shrinkSpeakerPipe();
            break;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno == EAGAIN && !speakerPipeSmall_) shrinkSpeakerPipe();
        if (n == 0) {
            // End of file: no writer, the sink module is gone. Reopen later.
            closeFd(speakerFd_);
            pendingBytes_ = 0;
            sleepMs(kReadWaitMs);
            return false;
        }
        if (errno != EAGAIN || waited) break;
        struct pollfd pfd {
            speakerFd_, POLLIN, 0
        };
        const int ready = ::poll(&pfd, 1, kDataWaitMs);
        waited = true;
        if (ready == 0 || (ready < 0 && errno != EINTR)) break;  // nothing came
    }

    // Hand out whole frames; keep the odd bytes for the next read.
    const std::uint32_t whole = total - total % kDriverFrameBytes;
    pendingBytes_ = total - whole;
    std::memcpy(pending_, out + whole, pendingBytes_);
    std::memset(out + whole, 0, pendingBytes_);
    if (bytesReturned != nullptr) *bytesReturned = whole;
    return true;
}

}  // namespace sonvale
