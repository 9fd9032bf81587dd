// sonvale-denoise: removes background noise from an audio file with orvo_alg.
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "denoise_core.h"

namespace {

using sonvale::denoise::denoiseFile;
using sonvale::denoise::FileJob;

constexpr const char* kName = "sonvale-denoise";

constexpr const char* kUsage =
    "Usage: sonvale-denoise [--stats] [--quiet] IN OUT\n"
    "\n"
    "Removes background noise from the audio file IN and writes the result to OUT.\n"
    "IN may be any file libsndfile reads (WAV, FLAC, Ogg, AIFF, ...), at any\n"
    "sample rate and with any number of channels; each channel is cleaned on its\n"
    "own. OUT has the same length, rate and channels, lines up with IN sample for\n"
    "sample, and keeps IN's format unless its extension names another container\n"
    "(.wav, .flac, .ogg, .aiff, ...). OUT is replaced only when the whole file\n"
    "has been written.\n"
    "\n"
    "Options:\n"
    "  --stats    print the audio length, processing time and real-time factor\n"
    "  --quiet    no progress display (it is shown only on a terminal anyway)\n"
    "  -h, --help show this help\n"
    "\n"
    "Exit status: 0 on success, 1 when the file cannot be processed, 2 for\n"
    "wrong usage, 130 when interrupted.\n";

std::atomic<bool> g_stop{false};

extern "C" void onSignal(int) { g_stop.store(true); }

std::string clock(double seconds) {
    long s = static_cast<long>(seconds);
    char buf[32];
    if (s >= 3600) {
        std::snprintf(buf, sizeof buf, "%ld:%02ld:%02ld", s / 3600, s / 60 % 60, s % 60);
    } else {
        std::snprintf(buf, sizeof buf, "%ld:%02ld", s / 60, s % 60);
    }
    return buf;
}

// Progress on the terminal, for jobs that take more than a moment: redrawn
// at most a few times a second, erased when the job ends.
class ProgressLine {
public:
    ProgressLine() : start_(Clock::now()) {}
    ~ProgressLine() { clear(); }

    void update(int64_t done, int64_t total, int rate) {
        auto now = Clock::now();
        if (now - start_ < std::chrono::seconds(1) ||
            now - last_ < std::chrono::milliseconds(200)) {
            return;
        }
        last_ = now;
        char line[128];
        double at = rate > 0 ? static_cast<double>(done) / rate : 0.0;
        if (total > 0 && rate > 0) {
            double of = static_cast<double>(total) / rate;
            std::snprintf(line, sizeof line, "\r%s: %3d%%  %s of %s\033[K", kName,
                          static_cast<int>(100.0 * done / total), clock(at).c_str(),
                          clock(of).c_str());
        } else {
            std::snprintf(line, sizeof line, "\r%s: %s\033[K", kName, clock(at).c_str());
        }
        std::fputs(line, stderr);
        shown_ = true;
    }

    void clear() {
        if (shown_) std::fputs("\r\033[K", stderr);
        shown_ = false;
    }

private:
    using Clock = std::chrono::steady_clock;
    Clock::time_point start_;
    Clock::time_point last_{};
    bool shown_ = false;
};

int usageError(const std::string& msg) {
    std::fprintf(stderr, "%s: %s (see --help)\n", kName, msg.c_str());
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    bool stats = false, quiet = false, options_done = false;
    std::vector<std::string> files;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (!options_done && (a == "-h" || a == "--help")) {
            std::fputs(kUsage, stdout);
            return 0;
        } else if (!options_done && a == "--stats") {
            stats = true;
        } else if (!options_done && a == "--quiet") {
            quiet = true;
        } else if (!options_done && a == "--") {
            options_done = true;
        } else if (!options_done && a.size() > 1 && a[0] == '-') {
            return usageError("unknown option '" + a + "'");
        } else {
            files.push_back(a);
        }
    }
    if (files.size() != 2) {
        return usageError(files.size() < 2 ? "need an input and an output file"
                                           : "too many arguments");
    }

    struct sigaction sa {};
    sa.sa_handler = onSignal;
    sigemptyset(&sa.sa_mask);
    for (int sig : {SIGINT, SIGTERM, SIGHUP}) sigaction(sig, &sa, nullptr);
    // Past a file-size limit, a write must fail with an error we report and
    // clean up after, not end the process with the temporary file left.
    std::signal(SIGXFSZ, SIG_IGN);

    FileJob job;
    job.input = files[0];
    job.output = files[1];
    job.factory = sonvale::denoise::makeOrvoProcessor;
    job.cancel = &g_stop;
    ProgressLine progress;
    if (!quiet && isatty(STDERR_FILENO)) {
        job.progress = [&progress](int64_t done, int64_t total, int rate) {
            progress.update(done, total, rate);
        };
    }
    const auto result = denoiseFile(job);
    progress.clear();

    if (!result.ok) {
        std::fprintf(stderr, "%s: %s\n", kName, result.error.c_str());
        return result.cancelled ? 130 : 1;
    }
    if (stats) {
        const double rtf =
            result.audio_seconds > 0 ? result.wall_seconds / result.audio_seconds : 0.0;
        char speed[64] = "";
        if (rtf > 0 && rtf < 1) {
            std::snprintf(speed, sizeof speed, " (%.0fx faster than real time)", 1.0 / rtf);
        } else if (rtf >= 1) {
            std::snprintf(speed, sizeof speed, " (slower than real time)");
        }
        std::printf(
            "%s: %.1f s of audio (%d Hz, %d channel%s) in %.2f s: real-time factor %.4f%s\n", kName,
            result.audio_seconds, result.rate, result.channels, result.channels == 1 ? "" : "s",
            result.wall_seconds, rtf, speed);
    }
    return 0;
}
