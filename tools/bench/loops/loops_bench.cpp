// Loop benchmark on a private audio server, PulseAudio or PipeWire (see run):
//  - end-to-end latency of the microphone path (stand-in microphone ->
//    virtual microphone) and the speaker path (virtual speaker -> stand-in
//    speaker), with suppression off and on: a tone burst is recorded at both
//    ends of the path through the server and its onsets are compared;
//  - CPU use of the program's threads in this process (both loops, Qt's
//    audio threads; not the rig's feeder and player threads) from
//    /proc/self/task/*/stat over 60 s each, with audio flowing through both
//    paths, through the microphone path only, and with nothing playing;
//  - underruns of a player with a 40 ms buffer into the virtual speaker and
//    into a plain sink of the same server.
#include <unistd.h>

#include <QAudioDeviceInfo>
#include <QCoreApplication>
#include <QDir>
#include <QEventLoop>
#include <QProcess>
#include <QTimer>
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <thread>
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

// The companion devices alone, without the loops: what the device side
// adds to each path. Microphone: 10 ms chunks written through the driver link
// on the clock, as the capture loop writes them; a burst's delay runs from
// its first write to its onset in a recorder of the virtual microphone.
// Speaker: a player's burst from its onset in the virtual speaker's monitor
// to its arrival in driver reads made every 10 ms, as a play loop's.
double deviceDelay(DriverDevice& driver, bool microphone) {
    using namespace std::chrono;
    std::atomic<bool> stop{false};
    std::atomic<long long> burstAt{0};  // steady-clock ns of the burst's first write
    std::atomic<long long> arrived{0};  // speaker: ns at which the burst was read
    std::atomic<int> burstRequest{0};   // bursts asked for, and handled by the thread
    std::atomic<int> burstDone{0};
    const Samples burst = tone(1000, 48000, 48000 * 40 / 1000, 16000);
    const Samples stereoBurst = interleave(burst);
    std::thread worker([&] {
        nameRigThread("rig-device");
        std::vector<std::int16_t> chunk(960), area(kDriverReadAreaBytes / 2);
        auto due = steady_clock::now();
        std::size_t at = stereoBurst.size();
        while (!stop) {
            due += milliseconds(10);
            std::this_thread::sleep_until(due);
            if (microphone) {
                if (burstRequest > burstDone && at >= stereoBurst.size()) {
                    // A chunk's first frame stands for 10 ms before the
                    // write, as a frame a capture loop hands on: the
                    // recorder's arrival times count back the same way.
                    at = 0;
                    burstAt = duration_cast<nanoseconds>(
                                  (steady_clock::now() - milliseconds(10)).time_since_epoch())
                                  .count();
                    burstDone = burstRequest.load();
                }
                for (std::size_t i = 0; i < chunk.size(); ++i)
                    chunk[i] = at < stereoBurst.size() ? stereoBurst[at++] : 0;
                std::uint32_t n = 0;
                driver.writePcm(chunk.data(), kDriverWriteChunkBytes, &n);
            } else {
                std::uint32_t n = 0;
                driver.readPcm(area.data(), kDriverReadAreaBytes, &n, false);
                for (std::uint32_t i = 0; i < n / 2; i += 2) {
                    if (std::abs(int(area[i])) > 4000 && arrived == 0) {
                        arrived = duration_cast<nanoseconds>(steady_clock::now().time_since_epoch())
                                      .count();
                    }
                }
            }
        }
    });
    std::vector<double> ms;
    if (microphone) {
        Recorder out("Sonvale_Microphone", 48000, 2);
        settle(800);
        for (int i = 0; i < 7; ++i) {
            const size_t from = out.samples().size() / 2;
            ++burstRequest;
            long b = -1;
            waitFor([&] { return (b = onsetAfter(out.samples(), 2, from, 2000)) >= 0; },
                    seconds(5));
            if (b >= 0 && burstDone == burstRequest) {
                const auto t = out.arrival(static_cast<size_t>(b)).time_since_epoch();
                ms.push_back((duration_cast<nanoseconds>(t).count() - burstAt) / 1e6);
            }
            settle(400);
        }
    } else {
        Player player("Sonvale_Speaker", 48000, 2);
        Recorder in("Sonvale_Speaker.monitor", 48000, 2);
        settle(800);
        for (int i = 0; i < 7; ++i) {
            const size_t from = in.samples().size() / 2;
            arrived = 0;
            player.play(stereoBurst);
            long a = -1;
            waitFor([&] { return (a = onsetAfter(in.samples(), 2, from, 2000)) >= 0 && arrived; },
                    seconds(5));
            if (a >= 0 && arrived != 0) {
                const auto t = in.arrival(static_cast<size_t>(a)).time_since_epoch();
                ms.push_back((arrived - duration_cast<nanoseconds>(t).count()) / 1e6);
            }
            settle(400);
        }
    }
    stop = true;
    worker.join();
    if (ms.empty()) return -1;
    std::sort(ms.begin(), ms.end());
    return ms[ms.size() / 2];
}

// Underruns of a player with a 40 ms buffer (a call app's kind) playing to
// `sink` for `seconds`: pacat reports each one.
int playerUnderruns(const QString& sink, int seconds) {
    QProcess pacat;
    pacat.setProcessChannelMode(QProcess::SeparateChannels);
    pacat.start(QStringLiteral("pacat"),
                {QStringLiteral("-v"), QStringLiteral("--playback"), QStringLiteral("-d"), sink,
                 QStringLiteral("--raw"), QStringLiteral("--format=s16le"),
                 QStringLiteral("--rate=48000"), QStringLiteral("--channels=2"),
                 QStringLiteral("--latency-msec=40"), QStringLiteral("/dev/zero")});
    if (!pacat.waitForStarted(5000)) return -1;
    settle(seconds * 1000);
    pacat.terminate();
    pacat.waitForFinished(5000);
    return QString::fromUtf8(pacat.readAllStandardError()).count(QStringLiteral("Stream underrun"));
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    // Seconds of each CPU state; 0 measures delays and underruns only.
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

    // The device side alone: both loops stopped, the bench plays their part.
    capture.stopCapture();
    play.stopPlayback();
    settle(300);
    std::printf("| virtual microphone alone (driver write -> recorder) | - | %.1f |\n",
                deviceDelay(driver, true));
    std::printf("| virtual speaker alone (monitor -> driver read every 10 ms) | - | %.1f |\n",
                deviceDelay(driver, false));
    std::fflush(stdout);
    capture.startCapture("BenchMic");
    play.selectDevice("BenchSpeaker");
    play.startPlayback();
    settle(1000);

    // Underruns of a call app's player: into the virtual speaker (while the
    // play loop carries it to the speaker) and into a plain sink of the same
    // server, with the microphone path running.
    {
        const int seconds = cpuSecondsEach > 0 ? cpuSecondsEach : 10;
        const int intoVirtual = playerUnderruns(QStringLiteral("Sonvale_Speaker"), seconds);
        const int intoPlain = playerUnderruns(QStringLiteral("BenchSpeaker"), seconds);
        std::printf("\n| a player with a 40 ms buffer, %d s | underruns |\n|---|---|\n", seconds);
        std::printf("| into the virtual speaker | %d |\n| into a plain sink | %d |\n", intoVirtual,
                    intoPlain);
        std::fflush(stdout);
    }
    const auto printDrops = [&] {
        std::printf("\ndropped bytes: capture %llu, play %llu, virtual microphone FIFO %llu\n",
                    static_cast<unsigned long long>(capture.droppedBytes()),
                    static_cast<unsigned long long>(play.droppedBytes()),
                    static_cast<unsigned long long>(driver.micDroppedBytes()));
    };
    if (cpuSecondsEach <= 0) {
        // Delay only (the test suite's run): no CPU states.
        printDrops();
        capture.stopCapture();
        play.stopPlayback();
        return 0;
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
    printDrops();

    capture.stopCapture();
    play.stopPlayback();
    return 0;
}
