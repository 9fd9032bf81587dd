#include "PulseRig.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sndfile.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QAudioDeviceInfo>
#include <QCoreApplication>
#include <QProcess>
#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>

#include "audio/AudioDevices.h"

namespace sonvale::test {

using Clock = std::chrono::steady_clock;

QString testDir() { return qEnvironmentVariable("SONVALE_TEST_DIR"); }

QString pactl(const QStringList& args) {
    QProcess p;
    p.start(QStringLiteral("pactl"), args);
    if (!p.waitForFinished(15000) || p.exitStatus() != QProcess::NormalExit || p.exitCode() != 0) {
        ADD_FAILURE() << "pactl " << args.join(' ').toStdString()
                      << " failed: " << p.readAllStandardError().toStdString();
        return {};
    }
    return QString::fromUtf8(p.readAllStandardOutput()).trimmed();
}

int loadModule(const QString& module, const QStringList& args) {
    bool ok = false;
    const int index = pactl(QStringList{QStringLiteral("load-module"), module} + args).toInt(&ok);
    return ok ? index : -1;
}

void unloadModule(int index) {
    if (index >= 0) pactl({QStringLiteral("unload-module"), QString::number(index)});
}

bool waitFor(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
    const auto end = Clock::now() + timeout;
    while (!done()) {
        if (Clock::now() > end) return done();
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

static bool deviceListed(const QString& name, bool output) {
    const auto mode = output ? QAudio::AudioOutput : QAudio::AudioInput;
    return !findEndpointDevice(mode, name).isNull();
}

bool waitForDevice(const QString& name, bool output) {
    return waitFor([&] { return deviceListed(name, output); }, std::chrono::seconds(60));
}

bool waitForDeviceGone(const QString& name, bool output) {
    return waitFor([&] { return !deviceListed(name, output); });
}

Samples readWav(const std::string& path, int* rate) {
    SF_INFO info{};
    SNDFILE* f = sf_open(path.c_str(), SFM_READ, &info);
    if (!f) {
        ADD_FAILURE() << "cannot read " << path;
        return {};
    }
    Samples all(static_cast<size_t>(info.frames) * info.channels);
    sf_readf_short(f, all.data(), info.frames);
    sf_close(f);
    if (rate) *rate = info.samplerate;
    return channel(all, info.channels, 0);
}

std::string corpusPath(const std::string& relative) {
    return std::string(SONVALE_CORPUS_DIR) + "/" + relative;
}

void dumpWav(const std::string& name, const Samples& interleaved, int rate, int channels) {
    const QByteArray dir = qgetenv("SONVALE_TEST_DUMP");
    if (dir.isEmpty()) return;
    SF_INFO info{};
    info.samplerate = rate;
    info.channels = channels;
    info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
    const std::string path = dir.toStdString() + "/" + name + ".wav";
    SNDFILE* f = sf_open(path.c_str(), SFM_WRITE, &info);
    if (!f) return;
    sf_writef_short(f, interleaved.data(), static_cast<sf_count_t>(interleaved.size() / channels));
    sf_close(f);
}

// Moves the next buf.size() samples of `pending` (from `at` on) into `buf`,
// leaving zeros where it runs out; drops what was taken now and then, without
// moving the rest on every call.
static void takePending(Samples& pending, size_t& at, std::vector<std::int16_t>& buf) {
    std::fill(buf.begin(), buf.end(), 0);
    const size_t n = std::min(buf.size(), pending.size() - at);
    std::copy(pending.begin() + at, pending.begin() + at + n, buf.begin());
    at += n;
    if (at == pending.size()) {
        pending.clear();
        at = 0;
    } else if (at > (1u << 20)) {
        pending.erase(pending.begin(), pending.begin() + at);
        at = 0;
    }
}

void nameRigThread(const char* name) { pthread_setname_np(pthread_self(), name); }

// ---------------------------------------------------------------- microphone

FifoMicrophone::FifoMicrophone(const QString& name, int rate, int channels)
    : name_(name), rate_(rate), channels_(channels) {
    fifo_ = (testDir() + "/" + name + ".fifo").toStdString();
    module_ = loadModule(QStringLiteral("module-pipe-source"),
                         {"source_name=" + name, "file=" + QString::fromStdString(fifo_),
                          QStringLiteral("format=s16le"), "rate=" + QString::number(rate),
                          "channels=" + QString::number(channels)});
    fd_ = ::open(fifo_.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    if (module_ < 0 || fd_ < 0) ADD_FAILURE() << "stand-in microphone " << name.toStdString();
    thread_ = std::thread([this] {
        nameRigThread("rig-mic");
        feed();
    });
}

FifoMicrophone::~FifoMicrophone() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    if (fd_ >= 0) ::close(fd_);
    if (module_ >= 0) unloadModule(module_);
}

void FifoMicrophone::play(const Samples& interleaved) {
    std::lock_guard<std::mutex> l(lock_);
    pending_.insert(pending_.end(), interleaved.begin(), interleaved.end());
}

void FifoMicrophone::remove() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    unloadModule(module_);
    module_ = -1;
}

void FifoMicrophone::feed() {
    // 10 ms pieces at real-time pace, kept 30 ms ahead of the reader.
    const size_t piece = static_cast<size_t>(rate_ / 100) * channels_;
    auto next = Clock::now();
    int ahead = 3;
    std::vector<std::int16_t> buf(piece);
    while (!stop_) {
        {
            std::lock_guard<std::mutex> l(lock_);
            std::fill(buf.begin(), buf.end(), 0);
            takePending(pending_, pendingAt_, buf);
        }
        const char* p = reinterpret_cast<const char*>(buf.data());
        size_t left = feeding_ ? buf.size() * 2 : 0;
        while (left > 0 && !stop_) {
            const ssize_t w = ::write(fd_, p, left);
            if (w > 0) {
                p += w;
                left -= static_cast<size_t>(w);
            } else if (w < 0 && errno != EAGAIN && errno != EINTR) {
                return;
            } else {
                std::this_thread::sleep_for(std::chrono::milliseconds(2));
            }
        }
        if (ahead > 0) {
            --ahead;
            continue;
        }
        next += std::chrono::milliseconds(10);
        std::this_thread::sleep_until(next);
    }
}

// ---------------------------------------------------------------- processes

namespace {

// Starts `argv` with its standard output (readFromChild) or input piped to us.
pid_t spawn(const std::vector<std::string>& argv, bool readFromChild, int* fd) {
    // Everything the child needs is prepared before fork(): between fork and
    // exec only async-signal-safe calls are made.
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    const std::string path = "/usr/bin/" + argv[0];
    int p[2];
    if (::pipe2(p, O_CLOEXEC) != 0) return -1;
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(readFromChild ? p[1] : p[0], readFromChild ? 1 : 0);
        ::execv(path.c_str(), args.data());
        ::_exit(127);
    }
    ::close(readFromChild ? p[1] : p[0]);
    *fd = readFromChild ? p[0] : p[1];
    ::fcntl(*fd, F_SETFL, O_NONBLOCK);
    return pid;
}

void reap(pid_t pid) {
    if (pid <= 0) return;
    ::kill(pid, SIGTERM);
    int status = 0;
    ::waitpid(pid, &status, 0);
}

std::vector<std::string> streamArgs(const char* tool, const QString& device, int rate, int channels,
                                    int latencyMs) {
    return {tool,
            "-d",
            device.toStdString(),
            "--raw",
            "--format=s16le",
            "--rate=" + std::to_string(rate),
            "--channels=" + std::to_string(channels),
            "--latency-msec=" + std::to_string(latencyMs)};
}

}  // namespace

// ---------------------------------------------------------------- recorder

Recorder::Recorder(const QString& source, int rate, int channels)
    : source_(source), rate_(rate), channels_(channels) {
    thread_ = std::thread([this] {
        nameRigThread("rig-recorder");
        run();
    });
}

Recorder::~Recorder() { stop(); }

void Recorder::stop() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
}

void Recorder::run() {
    int fd = -1;
    const pid_t pid = spawn(streamArgs("parec", source_, rate_, channels_, 5), true, &fd);
    if (pid < 0) return;
    std::vector<char> buf(1 << 16);
    std::vector<char> partial;
    while (!stop_) {
        pollfd pfd{fd, POLLIN, 0};
        if (::poll(&pfd, 1, 20) <= 0) continue;
        const ssize_t n = ::read(fd, buf.data(), buf.size());
        if (n <= 0) {
            if (n == 0) break;
            continue;
        }
        const auto now = Clock::now();
        partial.insert(partial.end(), buf.begin(), buf.begin() + n);
        const size_t whole = partial.size() - partial.size() % 2;
        std::lock_guard<std::mutex> l(lock_);
        const size_t old = data_.size();
        data_.resize(old + whole / 2);
        std::memcpy(data_.data() + old, partial.data(), whole);
        partial.erase(partial.begin(), partial.begin() + whole);
        arrivals_.emplace_back(data_.size() / channels_, now);
    }
    ::close(fd);
    reap(pid);
}

Samples Recorder::take() {
    std::lock_guard<std::mutex> l(lock_);
    return data_;
}

Samples Recorder::samples() const {
    std::lock_guard<std::mutex> l(lock_);
    return data_;
}

Clock::time_point Recorder::arrival(std::size_t frame) const {
    std::lock_guard<std::mutex> l(lock_);
    for (const auto& [end, when] : arrivals_) {
        if (end > frame) {
            // The piece ending at `end` arrived at `when`; frame `frame` was
            // recorded (end - frame) frames before its end.
            return when -
                   std::chrono::microseconds(static_cast<long>((end - frame) * 1000000.0 / rate_));
        }
    }
    return Clock::time_point{};
}

// ---------------------------------------------------------------- player

Player::Player(const QString& sink, int rate, int channels)
    : sink_(sink), rate_(rate), channels_(channels) {
    thread_ = std::thread([this] {
        nameRigThread("rig-player");
        run();
    });
}

Player::~Player() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
}

void Player::play(const Samples& interleaved) {
    std::lock_guard<std::mutex> l(lock_);
    markNext_ = true;
    pending_.insert(pending_.end(), interleaved.begin(), interleaved.end());
}

Clock::time_point Player::lastStart() const {
    std::lock_guard<std::mutex> l(lock_);
    return lastStart_;
}

void Player::run() {
    int fd = -1;
    const pid_t pid = spawn(streamArgs("pacat", sink_, rate_, channels_, 300), false, &fd);
    if (pid < 0) return;
    ::signal(SIGPIPE, SIG_IGN);
    // Silence keeps the stream running between pieces; pieces of 5 ms, paced
    // by our clock and kept 400 ms ahead, so that neither a busy machine nor a
    // sink that renders ahead of time (the companion pipe sink has no clock of
    // its own) lets the stream run dry: the server would play silence in the gap.
    const size_t piece = static_cast<size_t>(rate_ / 200) * channels_;
    std::vector<std::int16_t> buf(piece);
    auto next = Clock::now();
    int ahead = 80;
    while (!stop_) {
        {
            std::lock_guard<std::mutex> l(lock_);
            std::fill(buf.begin(), buf.end(), 0);
            if (pendingAt_ < pending_.size() && markNext_) {
                markNext_ = false;
                lastStart_ = Clock::now();
            }
            takePending(pending_, pendingAt_, buf);
        }
        const char* p = reinterpret_cast<const char*>(buf.data());
        size_t left = buf.size() * 2;
        while (left > 0 && !stop_) {
            const ssize_t w = ::write(fd, p, left);
            if (w > 0) {
                p += w;
                left -= static_cast<size_t>(w);
            } else if (w < 0 && errno != EAGAIN && errno != EINTR) {
                stop_ = true;
            } else {
                pollfd pfd{fd, POLLOUT, 0};
                ::poll(&pfd, 1, 5);
            }
        }
        if (ahead > 0) {
            --ahead;
            continue;
        }
        next += std::chrono::microseconds(5000);
        std::this_thread::sleep_until(next);
    }
    ::close(fd);
    reap(pid);
}

// ---------------------------------------------------------------- measures

Samples channel(const Samples& interleaved, int channels, int c) {
    Samples out(interleaved.size() / channels);
    for (size_t i = 0; i < out.size(); ++i) out[i] = interleaved[i * channels + c];
    return out;
}

Samples interleave(const Samples& left, const Samples* right) {
    Samples out(left.size() * 2);
    for (size_t i = 0; i < left.size(); ++i) {
        out[2 * i] = left[i];
        out[2 * i + 1] = right ? (*right)[i] : left[i];
    }
    return out;
}

long findExact(const Samples& haystack, const Samples& needle) {
    if (needle.empty() || haystack.size() < needle.size()) return -1;
    const auto it = std::search(haystack.begin(), haystack.end(), needle.begin(), needle.end());
    return it == haystack.end() ? -1 : static_cast<long>(it - haystack.begin());
}

std::size_t matchingRun(const Samples& haystack, long offset, const Samples& reference) {
    if (offset < 0) return 0;
    size_t n = 0;
    while (static_cast<size_t>(offset) + n < haystack.size() && n < reference.size() &&
           haystack[offset + n] == reference[n])
        ++n;
    return n;
}

double correlation(const Samples& a, long offset, const Samples& b, std::size_t length) {
    double ab = 0, aa = 0, bb = 0;
    for (size_t i = 0; i < length; ++i) {
        const long ia = offset + static_cast<long>(i);
        if (ia < 0 || static_cast<size_t>(ia) >= a.size() || i >= b.size()) break;
        ab += double(a[ia]) * b[i];
        aa += double(a[ia]) * a[ia];
        bb += double(b[i]) * b[i];
    }
    return (aa > 0 && bb > 0) ? ab / std::sqrt(aa * bb) : 0.0;
}

long bestLag(const Samples& haystack, const Samples& reference, long center, long radius,
             std::size_t length, double* corr) {
    long best = center;
    double bestC = -2;
    const long from = std::max(0L, center - radius);
    for (long lag = from; lag <= center + radius; lag += 4) {
        const double c = correlation(haystack, lag, reference, length);
        if (c > bestC) bestC = c, best = lag;
    }
    for (long lag = std::max(0L, best - 4); lag <= best + 4; ++lag) {
        const double c = correlation(haystack, lag, reference, length);
        if (c > bestC) bestC = c, best = lag;
    }
    if (corr) *corr = bestC;
    return best;
}

Alignment alignInWindows(const Samples& haystack, const Samples& reference, long center,
                         long radius, int rate) {
    const size_t window = static_cast<size_t>(rate / 2);
    const long slip = rate / 1000;
    const double whole = energyDb(reference, 0, reference.size());
    Alignment a;
    long lag = -1;
    double weighted = 0, weights = 0;
    for (size_t at = 0; at + window / 2 <= reference.size(); at += window) {
        const size_t n = std::min(window, reference.size() - at);
        const double db = energyDb(reference, at, at + n);
        const long expected = lag < 0 ? center : lag + long(window);
        if (db < whole - 10.0) {
            if (lag >= 0) lag = expected;
            continue;
        }
        const Samples piece(reference.begin() + long(at), reference.begin() + long(at + n));
        double c = 0;
        // The first window is searched in the whole range; later ones a little
        // earlier (the alignment's own error) or up to `radius` later.
        const long found = lag < 0 ? bestLag(haystack, piece, center + long(at), radius, n, &c)
                                   : bestLag(haystack, piece, expected + radius / 2 - slip,
                                             radius / 2 + slip, n, &c);
        if (lag < 0) {
            a.firstLag = found - long(at);
        } else if (found - expected > slip) {
            ++a.slips;
        }
        lag = found;
        const double w = std::pow(10.0, db / 10.0);
        weighted += w * c;
        weights += w;
    }
    a.corr = weights > 0 ? weighted / weights : 0.0;
    return a;
}

long firstNonZero(const Samples& s) {
    for (size_t i = 0; i < s.size(); ++i)
        if (s[i] != 0) return static_cast<long>(i);
    return -1;
}

double energyDb(const Samples& s, std::size_t begin, std::size_t end) {
    end = std::min(end, s.size());
    double e = 0;
    for (size_t i = begin; i < end; ++i) e += double(s[i]) * s[i];
    const double mean = end > begin ? e / double(end - begin) : 0.0;
    return 10.0 * std::log10(mean + 1e-9);
}

std::size_t longestZeroRun(const Samples& s, std::size_t begin, std::size_t end) {
    end = std::min(end, s.size());
    size_t best = 0, run = 0;
    for (size_t i = begin; i < end; ++i) {
        run = s[i] == 0 ? run + 1 : 0;
        best = std::max(best, run);
    }
    return best;
}

Samples tone(double frequency, int rate, std::size_t count, double amplitude) {
    Samples out(count);
    for (size_t i = 0; i < count; ++i)
        out[i] = static_cast<std::int16_t>(
            std::lround(amplitude * std::sin(2 * M_PI * frequency * double(i) / rate)));
    return out;
}

}  // namespace sonvale::test
