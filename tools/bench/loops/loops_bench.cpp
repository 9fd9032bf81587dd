// Loop benchmark on a private PulseAudio daemon (see run):
//  - end-to-end latency of the microphone path (stand-in microphone ->
//    virtual microphone) and the speaker path (virtual speaker -> stand-in
//    speaker), with suppression off and on: a tone burst is recorded at both
//    ends of the path through the server and its onsets are compared;
//  - CPU use of the program's threads in this process (both loops, Qt's
//    audio threads; not the rig's feeder and player threads) from
//    /proc/self/task/*/stat over 60 s each, with audio flowing through both
//    paths, through the microphone path only, and with nothing playing.
#include <unistd.h>

#include <QAudioDeviceInfo>
#include <QCoreApplication>
#include <QDir>
#include <QEventLoop>
#include <QTimer>
#include <algorithm>
#include <cstdio>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "PulseRig.h"
#include "audio/PcmCaptureLoop.h"
#include "audio/PcmPlayLoop.h"
#include "platform/DriverLink.h"

using namespace sonvale;
using namespace sonvale::test;
using Clock = std::chrono::steady_clock;

namespace {

void settle(int ms) {
    waitFor([] { return false; }, std::chrono::milliseconds(ms));
}

// Index of the first frame of channel 0 from `from` on whose magnitude exceeds
// `threshold`, or -1.
long onsetAfter(const Samples& s, int channels, size_t fromFrame, int threshold) {
    for (size_t f = fromFrame; f * channels < s.size(); ++f)
        if (std::abs(int(s[f * channels])) > threshold) return static_cast<long>(f);
    return -1;
}

// Plays `bursts` tone bursts through `play` and returns the median latency in
// ms between their onsets in `in` and in `out`.
template <typename PlayFn>
double measureLatency(Recorder& in, int inChannels, Recorder& out, int outChannels, PlayFn play,
                      int bursts = 7) {
    std::vector<double> ms;
    const Samples burst = tone(1000, 48000, 48000 * 40 / 1000, 16000);
    for (int i = 0; i < bursts; ++i) {
        const size_t inStart = in.samples().size() / inChannels;
        const size_t outStart = out.samples().size() / outChannels;
        play(burst);
        long a = -1, b = -1;
        waitFor(
            [&] {
                a = onsetAfter(in.samples(), inChannels, inStart, 4000);
                b = onsetAfter(out.samples(), outChannels, outStart, 2000);
                return a >= 0 && b >= 0;
            },
            std::chrono::seconds(5));
        if (a >= 0 && b >= 0) {
            const auto d = out.arrival(static_cast<size_t>(b)) - in.arrival(static_cast<size_t>(a));
            ms.push_back(std::chrono::duration<double, std::milli>(d).count());
        }
        settle(400);
    }
    if (ms.empty()) return -1;
    std::sort(ms.begin(), ms.end());
    return ms[ms.size() / 2];
}

// CPU time (user plus system, seconds) and voluntary context switches of one
// thread, keyed by its name and id.
struct ThreadUse {
    std::string name;
    double cpu = 0;
    long switches = 0;
};

// The threads of this process that belong to the program: the loops, Qt's
// audio threads and the main thread. The test rig's threads (named "rig-...",
// the stand-in microphone's feeder and the player) are left out.
std::map<std::string, ThreadUse> threadUse() {
    const double ticks = static_cast<double>(sysconf(_SC_CLK_TCK));
    std::map<std::string, ThreadUse> use;
    QDir tasks(QStringLiteral("/proc/self/task"));
    for (const QString& tid : tasks.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        const std::string dir = "/proc/self/task/" + tid.toStdString();
        std::ifstream f(dir + "/stat");
        std::string line;
        if (!std::getline(f, line)) continue;
        const size_t open = line.find('('), close = line.rfind(')');
        if (open == std::string::npos || close == std::string::npos) continue;
        const std::string name = line.substr(open + 1, close - open - 1);
        if (name.compare(0, 4, "rig-") == 0) continue;
        // Fields after the command name, which is in parentheses: utime and
        // stime are fields 14 and 15 of the whole line (11 and 12 here,
        // counting from the state field as 0).
        std::istringstream rest(line.substr(close + 2));
        std::vector<std::string> fields;
        std::string x;
        while (rest >> x) fields.push_back(x);
        if (fields.size() < 13) continue;
        ThreadUse& u = use[name + " " + tid.toStdString()];
        u.name = name;
        u.cpu = (std::stod(fields[11]) + std::stod(fields[12])) / ticks;
        std::ifstream status(dir + "/status");
        while (std::getline(status, line))
            if (line.compare(0, 24, "voluntary_ctxt_switches:") == 0)
                u.switches = std::atol(line.c_str() + 24);
    }
    return use;
}

// CPU use of the program over `seconds`, in percent of one core; a thread
// that ended meanwhile counts no more. The share of each thread and its
// wakeups per second go to stderr, to show where the time goes.
double cpuPercentOver(int seconds) {
    // A plain event loop: the measurement itself must not poll.
    QEventLoop loop;
    QTimer::singleShot(seconds * 1000, &loop, &QEventLoop::quit);
    const auto before = threadUse();
    const auto t0 = Clock::now();
    loop.exec();
    const double wall = std::chrono::duration<double>(Clock::now() - t0).count();
    double total = 0;
    for (const auto& [key, after] : threadUse()) {
        const auto it = before.find(key);
        const double cpu = after.cpu - (it == before.end() ? 0 : it->second.cpu);
        const long sw = after.switches - (it == before.end() ? 0 : it->second.switches);
        total += cpu;
        std::fprintf(stderr, "  %-18s %5.2f %%  %5.0f wakeups/s\n", after.name.c_str(),
                     100.0 * cpu / wall, sw / wall);
    }
    return 100.0 * total / wall;
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const int cpuSecondsEach = argc > 1 ? std::atoi(argv[1]) : 60;

    DriverDevice driver;
    wchar_t path[kDriverPathCapacity] = {};
    if (!findDriverInterface(path, 0) || !driver.open(path)) {
        std::fprintf(stderr, "loops_bench: companion devices not found\n");
        return 1;
    }
    FifoMicrophone mic("BenchMic", 48000, 1);
    loadModule("module-null-sink", {"sink_name=BenchSpeaker", "rate=48000", "channels=2"});
    if (!waitForDevice("BenchMic", false) || !waitForDevice("BenchSpeaker", true)) return 1;

    PcmCaptureLoop capture;
    PcmPlayLoop play;
    capture.setDriver(&driver);
    play.setDriver(&driver);
    capture.startCapture("BenchMic");
    play.selectDevice("BenchSpeaker");
    play.startPlayback();
    settle(1000);

    std::printf("| path | suppression | latency (median of 7), ms |\n|---|---|---|\n");
    // One path, suppression off and then on: `in` and `out` record its two
    // ends, `setSuppression` switches it, `feed` plays a burst into it.
    const auto measurePath = [](const char* path, Recorder& in, int inChannels, Recorder& out,
                                auto setSuppression, auto feed) {
        for (int on = 0; on < 2; ++on) {
            setSuppression(on);
            settle(300);
            const double ms = measureLatency(in, inChannels, out, 2, feed);
            std::printf("| %s | %s | %.1f |\n", path, on ? "on" : "off", ms);
            std::fflush(stdout);
        }
    };
    const auto micSuppression = [&](int on) { capture.setNoiseCancel(on); };
    {
        Recorder in("BenchMic", 48000, 1);
        Recorder out("Sonvale_Microphone", 48000, 2);
        settle(500);
        measurePath("microphone -> virtual microphone", in, 1, out, micSuppression,
                    [&](const Samples& b) { mic.play(b); });
    }
    {
        // The same path from a microphone the way a sound card's appears in
        // the server: a source of dynamic latency, which hands the program
        // pieces of the size it asks for. The pipe source above has a fixed
        // latency of one FIFO page (42.7 ms of 48 kHz mono) and so hands over
        // 40 to 50 ms at a time. Here a null sink plays the bursts and a
        // remapped copy of its monitor is the microphone (a monitor itself is
        // never taken for one).
        loadModule("module-null-sink", {"sink_name=BenchMicFeed", "rate=48000", "channels=1"});
        loadModule("module-remap-source",
                   {"source_name=BenchLiveMic", "master=BenchMicFeed.monitor", "channels=1"});
        if (!waitForDevice("BenchLiveMic", false)) return 1;
        capture.stopCapture();
        capture.startCapture("BenchLiveMic");
        Player feed("BenchMicFeed", 48000, 1);
        Recorder in("BenchLiveMic", 48000, 1);
        Recorder out("Sonvale_Microphone", 48000, 2);
        settle(800);
        measurePath("microphone of dynamic latency -> virtual microphone", in, 1, out,
                    micSuppression, [&](const Samples& b) { feed.play(b); });
        capture.stopCapture();
        capture.startCapture("BenchMic");
        settle(500);
    }
    {
        Player player("Sonvale_Speaker", 48000, 2);
        Recorder in("Sonvale_Speaker.monitor", 48000, 2);
        Recorder out("BenchSpeaker.monitor", 48000, 2);
        settle(800);
        measurePath(
            "virtual speaker -> speaker", in, 2, out, [&](int on) { play.setNoiseCancel(on); },
            [&](const Samples& b) { player.play(interleave(b)); });
    }

    // CPU: both paths with suppression on and audio flowing, then nothing.
    capture.setNoiseCancel(1);
    play.setNoiseCancel(1);
    const Samples noisy =
        readWav(corpusPath("mixtures/007_vctk_p232_013_M__fanhum_01__snr10_noisy.wav"));
    double active = 0, micOnly = 0, idle = 0;
    {
        Player player("Sonvale_Speaker", 48000, 2);
        Samples longMic;
        while (longMic.size() < size_t(48000) * (2 * cpuSecondsEach + 10))
            longMic.insert(longMic.end(), noisy.begin(), noisy.end());
        mic.play(longMic);
        player.play(interleave(longMic));
        settle(1000);
        std::fprintf(stderr, "both paths active:\n");
        active = cpuPercentOver(cpuSecondsEach);
    }
    // A call with the other side silent: the microphone still records, the
    // virtual speaker gets nothing.
    settle(1500);
    std::fprintf(stderr, "microphone only:\n");
    micOnly = cpuPercentOver(cpuSecondsEach);
    mic.setFeeding(false);
    settle(1500);
    std::fprintf(stderr, "nothing playing:\n");
    idle = cpuPercentOver(cpuSecondsEach);
    std::printf("\n| state (%d s each) | CPU, %% of one core |\n|---|---|\n", cpuSecondsEach);
    std::printf("| both paths active, suppression on | %.2f |\n", active);
    std::printf("| microphone only, suppression on | %.2f |\n", micOnly);
    std::printf("| nothing playing | %.2f |\n", idle);
    std::printf("\ndropped bytes: capture %llu, play %llu\n",
                static_cast<unsigned long long>(capture.droppedBytes()),
                static_cast<unsigned long long>(play.droppedBytes()));

    capture.stopCapture();
    play.stopPlayback();
    return 0;
}
