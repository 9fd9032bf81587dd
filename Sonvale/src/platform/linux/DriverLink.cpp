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
#include <sys/ioctl.h>
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

// The microphone FIFO's backlog is what its reader has not taken yet: delay
// in front of every recorder. PulseAudio's pipe source takes whatever waits
// as soon as it comes; PipeWire's takes exactly one graph period per cycle,
// and only while something records, so a backlog that built up once (a
// recorder that started late, a busy spell) would stand for good.
constexpr std::uint32_t kFramesPerMs = 48;
// Most the FIFO may hold: a chunk that would go past it is dropped. Room for
// a burst of the capture loop (its microphone may hand it 50 ms at once) on
// top of a reader's period (21 ms); it is also the most stale audio a
// recorder that starts late gets.
constexpr std::uint32_t kMicBacklogCapBytes = 80 * kFramesPerMs * kDriverFrameBytes;
// A backlog that never fell below this for a whole window is standing
// delay, and the excess is dropped once. 5 ms stays for the reader's timing.
constexpr std::uint32_t kMicBacklogTargetBytes = 5 * kFramesPerMs * kDriverFrameBytes;
// A cut fades out over this many frames, skips the excess, and fades the
// audio after it in over as many again (1.3 ms each): no click at the cut.
constexpr std::uint32_t kCutFadeFrames = 64;
// The least excess worth a cut (5 ms).
constexpr std::uint32_t kMinCutBytes = 5 * kFramesPerMs * kDriverFrameBytes;
// The window over which a backlog must stand before it is cut.
constexpr long long kTrimWindowMs = 1000;
// Losses are logged once per event, but no more than one line this often;
// what happened meanwhile goes into the next line. A spell of chunks that
// do not fit gets one line a minute while it lasts.
constexpr long long kLossLogIntervalMs = 2000;
constexpr long long kLossLogSpellMs = 60000;
constexpr char kMicName[] = "virtual microphone";

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

// Bytes waiting in a pipe, from either end; 0 when that cannot be told.
std::uint32_t pipeBacklog(int fd) {
    int n = 0;
    if (::ioctl(fd, FIONREAD, &n) != 0 || n < 0) return 0;
    return static_cast<std::uint32_t>(n);
}

double bytesToMs(std::uint64_t bytes) {
    return static_cast<double>(bytes) / (kDriverFrameBytes * kFramesPerMs);
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

bool DriverDevice::micFifoReplaced() const {
    struct stat open {
    }, named{};
    if (::fstat(micFd_, &open) != 0) return true;
    if (::stat((directory_ + "/" + kMicrophoneFifoName).c_str(), &named) != 0) return true;
    return open.st_ino != named.st_ino || open.st_dev != named.st_dev;
}

void DriverDevice::noteLoss(LossLog& log, const char* device, std::uint32_t bytes, bool cut) {
    log.total->fetch_add(bytes, std::memory_order_relaxed);
    bool newSpell = false;
    if (cut) {
        ++log.cuts;
        log.cutBytes += bytes;
    } else {
        newSpell = !log.refusing;
        if (newSpell) ++log.refusals;
        log.refusing = true;
        log.refusedBytes += bytes;
    }
    // A spell that goes on is told once a minute; anything new at once,
    // unless a line went out just before.
    const long long now = monotonicMs();
    const long long quiet = (cut || newSpell) ? kLossLogIntervalMs : kLossLogSpellMs;
    if (now - log.lastLogMs >= quiet) flushLossLog(log, device, now);
}

void DriverDevice::endRefusals(LossLog& log, const char* device) {
    if (!log.refusing) return;
    log.refusing = false;
    const long long now = monotonicMs();
    if (now - log.lastLogMs >= kLossLogIntervalMs) flushLossLog(log, device, now);
}

void DriverDevice::flushLossLog(LossLog& log, const char* device, long long now) {
    if (log.cuts == 0 && log.refusedBytes == 0) return;
    const auto total = static_cast<unsigned long long>(log.total->load());
    if (log.cuts > 0) {
        std::fprintf(stderr,
                     "driver link: %s: cut %.1f ms of standing backlog out in %u cut(s) "
                     "(%llu bytes; %llu bytes dropped in all)\n",
                     device, bytesToMs(log.cutBytes), log.cuts,
                     static_cast<unsigned long long>(log.cutBytes), total);
    }
    if (log.refusedBytes > 0) {
        std::fprintf(stderr,
                     "driver link: %s: %.1f ms did not fit its FIFO and were dropped (%llu bytes, "
                     "%u new spell(s); %s; %llu bytes dropped in all)\n",
                     device, bytesToMs(log.refusedBytes),
                     static_cast<unsigned long long>(log.refusedBytes), log.refusals,
                     log.refusing ? "still full: is anything recording it?" : "taking audio again",
                     total);
    }
    std::fflush(stderr);
    log.cuts = log.refusals = 0;
    log.cutBytes = log.refusedBytes = 0;
    log.lastLogMs = now;
}

std::uint32_t DriverDevice::applyCut(Cut& cut, const unsigned char* in, std::uint32_t frames,
                                     unsigned char* out) {
    std::uint32_t produced = 0;
    for (std::uint32_t f = 0; f < frames; ++f) {
        float gain;
        if (cut.fadeOut > 0) {
            gain = static_cast<float>(cut.fadeOut--) / (kCutFadeFrames + 1);
        } else if (cut.skip > 0) {
            if (--cut.skip == 0) cut.fadeIn = kCutFadeFrames;
            continue;
        } else if (cut.fadeIn > 0) {
            gain = static_cast<float>(kCutFadeFrames + 1 - cut.fadeIn--) / (kCutFadeFrames + 1);
        } else {
            gain = 1.0f;
        }
        // `out` may be `in` itself: a frame is only ever moved towards the start.
        for (std::uint32_t c = 0; c < kDriverFrameBytes; c += 2) {
            const auto lo = in[f * kDriverFrameBytes + c];
            const auto hi = in[f * kDriverFrameBytes + c + 1];
            const auto v = static_cast<std::int16_t>(static_cast<std::uint16_t>(lo | (hi << 8)));
            const auto u =
                static_cast<std::uint16_t>(static_cast<std::int16_t>(static_cast<float>(v) * gain));
            out[produced + c] = static_cast<unsigned char>(u & 0xFF);
            out[produced + c + 1] = static_cast<unsigned char>(u >> 8);
        }
        produced += kDriverFrameBytes;
    }
    return produced;
}

std::uint32_t DriverDevice::standingExcess(BacklogWatch& watch, std::uint32_t backlog,
                                           std::uint32_t target) {
    const long long now = monotonicMs();
    if (watch.windowStartMs == 0) {
        watch.windowStartMs = now;
        watch.trough = backlog;
    }
    watch.trough = std::min(watch.trough, backlog);
    if (now - watch.windowStartMs < kTrimWindowMs) return 0;
    const std::uint32_t trough = watch.trough;
    watch.windowStartMs = now;
    watch.trough = backlog;
    // Smaller excesses are left alone: each cut is a short dip in the sound.
    if (trough < target + kMinCutBytes) return 0;
    return (trough - target) - (trough - target) % kDriverFrameBytes;
}

bool DriverDevice::writePcm(const void* data, std::uint32_t length, std::uint32_t* bytesReturned) {
    if (bytesReturned != nullptr) *bytesReturned = 0;
    if (directory_.empty() || (data == nullptr && length != 0)) return false;
    if (length == 0) return true;
    const std::uint32_t whole = length - length % kDriverFrameBytes;
    if (micFd_ < 0 && !reopenMicrophone()) {
        noteLoss(micLog_, kMicName, whole, false);
        return false;
    }

    // A chunk that would take the backlog past its cap is dropped whole.
    std::uint32_t backlog = pipeBacklog(micFd_);
    if (backlog + length > kMicBacklogCapBytes && length <= kMicBacklogCapBytes) {
        // A FIFO that was replaced (the devices were reloaded) keeps the
        // backlog nobody will read: write to the new one instead.
        if (!micFifoReplaced() || !reopenMicrophone() ||
            (backlog = pipeBacklog(micFd_)) + length > kMicBacklogCapBytes) {
            noteLoss(micLog_, kMicName, whole, false);
            return false;
        }
    }
    if (!micCut_.active() && !micLog_.refusing) {
        if (const std::uint32_t excess =
                standingExcess(micWatch_, backlog, kMicBacklogTargetBytes)) {
            // The fade-out's frames are played, so they do not count as dropped.
            micCut_.fadeOut = kCutFadeFrames;
            micCut_.skip = excess / kDriverFrameBytes;
            noteLoss(micLog_, kMicName, excess, true);
        }
    }

    // While a cut is under way the chunk is shaped into `shaped`, in pieces.
    if (micCut_.active()) {
        const auto* in = static_cast<const unsigned char*>(data);
        const std::uint32_t frames = length / kDriverFrameBytes;
        unsigned char shaped[kWritePiece];
        bool ok = true;
        for (std::uint32_t f = 0; f < frames && ok;) {
            const std::uint32_t n = std::min(frames - f, kWritePiece / kDriverFrameBytes);
            const std::uint32_t bytes = applyCut(micCut_, in + f * kDriverFrameBytes, n, shaped);
            f += n;
            ok = bytes == 0 || writeMicBytes(shaped, bytes, nullptr);
        }
        if (bytesReturned != nullptr && ok) *bytesReturned = length;
        if (!ok) noteLoss(micLog_, kMicName, whole, false);
        return ok;
    }
    const bool ok = writeMicBytes(data, length, bytesReturned);
    if (!ok) {
        const std::uint32_t got = bytesReturned != nullptr ? *bytesReturned : 0;
        noteLoss(micLog_, kMicName, whole - std::min(whole, got), false);
    }
    return ok;
}

bool DriverDevice::writeMicBytes(const void* data, std::uint32_t length,
                                 std::uint32_t* bytesReturned) {
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
    if (written == length) {
        micStalled_ = false;
        endRefusals(micLog_, kMicName);
    }
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
