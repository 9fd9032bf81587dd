// Both loops with the stream guard on a private PulseAudio daemon: when the
// companion devices become the defaults (set by hand, or restored by the
// server when they are loaded again), the server moves the loops' streams
// onto them; the guard puts them back on the real devices and both paths
// carry audio again.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <algorithm>
#include <cmath>
#include <map>

#include "LoopTestSupport.h"
#include "OwnStreamGuard.h"
#include "PulseSession.h"
#include "audio/CaptureLoopOwner.h"
#include "audio/PcmCaptureLoop.h"
#include "audio/PcmPlayLoop.h"

namespace sonvale::test {
namespace {

using Clock = std::chrono::steady_clock;

struct QuietOwner : CaptureLoopOwner {
    void NotifyRemoveMicroppone(int, const QString& name) override { ended << name; }
    QStringList ended;
};

QJsonArray pactlJson(const QStringList& args) {
    return QJsonDocument::fromJson(pactl(QStringList{"-f", "json"} + args).toUtf8()).array();
}

// Devices the streams of this process are on: "playback" and "recording" to
// the device names.
std::multimap<QString, QString> ownStreams() {
    std::multimap<QString, QString> out;
    const QString pid = QString::number(QCoreApplication::applicationPid());
    for (const auto& [kind, streams, devices, key] :
         {std::tuple{"playback", "sink-inputs", "sinks", "sink"},
          std::tuple{"recording", "source-outputs", "sources", "source"}}) {
        std::map<int, QString> names;
        for (const auto& d : pactlJson({"list", "short", devices}))
            names[d.toObject()["index"].toInt()] = d.toObject()["name"].toString();
        for (const auto& s : pactlJson({"list", streams})) {
            const QJsonObject o = s.toObject();
            if (o["properties"].toObject()["application.process.id"].toString() != pid) continue;
            out.emplace(kind, names[o[key].toInt()]);
        }
    }
    return out;
}

// Index of the play loop's stream, or -1.
int ownPlaybackStream() {
    const QString pid = QString::number(QCoreApplication::applicationPid());
    for (const auto& s : pactlJson({"list", "sink-inputs"})) {
        const QJsonObject o = s.toObject();
        if (o["properties"].toObject()["application.process.id"].toString() == pid)
            return o["index"].toInt();
    }
    return -1;
}

// Both loops have a stream and none is on a companion device.
bool onRealDevices() {
    const auto streams = ownStreams();
    if (!streams.count("playback") || !streams.count("recording")) return false;
    for (const auto& [kind, device] : streams)
        if (device.contains("Sonvale")) return false;
    return true;
}

// Level of a `frequency` Hz tone in `s` (its amplitude): the median over
// windows of 50 ms, so that one gap or jump of phase costs one window.
double toneLevel(const Samples& s, double frequency, int rate = 48000) {
    const size_t window = static_cast<size_t>(rate / 20);
    std::vector<double> levels;
    for (size_t at = 0; at + window <= s.size(); at += window) {
        double c = 0, q = 0;
        for (size_t i = 0; i < window; ++i) {
            const double w = 2 * M_PI * frequency * double(i) / rate;
            c += s[at + i] * std::cos(w);
            q += s[at + i] * std::sin(w);
        }
        levels.push_back(2 * std::hypot(c, q) / double(window));
    }
    if (levels.empty()) return 0.0;
    std::nth_element(levels.begin(), levels.begin() + levels.size() / 2, levels.end());
    return levels[levels.size() / 2];
}

void runDriverScript(const char* command) {
    QProcess p;
    p.setProcessChannelMode(QProcess::MergedChannels);
    p.start(QStringLiteral(SONVALE_DRIVER_SCRIPT), {QString::fromLatin1(command)});
    ASSERT_TRUE(p.waitForFinished(30000));
    ASSERT_EQ(p.exitCode(), 0) << p.readAll().toStdString();
}

class OwnStreamsTest : public ::testing::Test {
protected:
    void SetUp() override {
        speakerModule = loadModule("module-null-sink",
                                   {"sink_name=Standin_Speaker", "rate=48000", "format=s16le"});
        mic = std::make_unique<FifoMicrophone>("Standin_Mic", 48000, 1);
        mic->play(tone(440, 48000, 48000 * 120));
        ASSERT_TRUE(waitForDevice("Standin_Mic", false));
        ASSERT_TRUE(waitForDevice("Standin_Speaker", true));
        pactl({"set-default-sink", "Standin_Speaker"});
        pactl({"set-default-source", "Standin_Mic"});

        guard = StartOwnStreamGuard({"Sonvale", [](const std::string& line) {
                                         std::fprintf(stderr, "%s\n", line.c_str());
                                     }});
        ASSERT_TRUE(guard);
        ASSERT_TRUE(guard->waitUntilWatching(10000));

        ASSERT_TRUE(openDriver(driver));
        capture.setOwner(&owner);
        capture.setDriver(&driver);
        play.setDriver(&driver);
        play.setFormatFailureHandler([](const QString&) {});
        bool opened = false, finished = false;
        // Only this first set-up is watched: the flags live on this stack.
        const QMetaObject::Connection watch =
            QObject::connect(&capture, &PcmCaptureLoop::setupFinished, &context, [&](bool ok) {
                opened = ok;
                finished = true;
            });
        ASSERT_TRUE(capture.startCapture("Standin_Mic"));
        const bool came = waitFor([&] { return finished; });
        QObject::disconnect(watch);
        ASSERT_TRUE(came);
        ASSERT_TRUE(opened);
        ASSERT_TRUE(play.selectDevice("Standin_Speaker"));
        play.startPlayback();
        player = std::make_unique<Player>("Sonvale_Speaker", 48000, 2);
        player->play(interleave(tone(1000, 48000, 48000 * 120)));
    }

    void TearDown() override {
        player.reset();
        capture.setOwner(nullptr);
        capture.stopCapture();
        play.stopPlayback();
        guard.reset();
        mic.reset();
        unloadModule(speakerModule);
    }

    void restartLoops() {
        capture.stopCapture();
        bool finished = false, opened = false;
        auto c = QObject::connect(&capture, &PcmCaptureLoop::setupFinished, &context, [&](bool ok) {
            opened = ok;
            finished = true;
        });
        ASSERT_TRUE(capture.startCapture("Standin_Mic"));
        ASSERT_TRUE(waitFor([&] { return finished; }));
        QObject::disconnect(c);
        ASSERT_TRUE(opened);
        play.stopPlayback();
        ASSERT_TRUE(play.selectDevice("Standin_Speaker"));
        play.startPlayback();
    }

    // Waits until both streams are on the real devices again; how long it took.
    double secondsUntilOnRealDevices(Clock::time_point since) {
        EXPECT_TRUE(waitFor(onRealDevices, std::chrono::seconds(20)))
            << "the loops' streams stay on the companion devices";
        return std::chrono::duration<double>(Clock::now() - since).count();
    }

    // Both paths carry their tone: the microphone's 440 Hz reaches the
    // virtual microphone, the 1000 Hz played to the virtual speaker reaches
    // the real speaker. A stream left on a companion device records or plays
    // the program's own silence instead. Records from `since` until both
    // have carried their tone for a second; returns when that began (in
    // seconds after `since`), the later of the two paths.
    double expectBothPathsCarry(const char* when, Clock::time_point since = Clock::now()) {
        Recorder virtualMic("Sonvale_Microphone", 48000, 1);
        Recorder speaker("Standin_Speaker.monitor", 48000, 1);
        double micAt = 0, speakerAt = 0;  // may be a little negative: parec's own buffer
        bool micFound = false, speakerFound = false;
        // The first 50 ms window from which on the tone holds for a second;
        // each window is measured once, as the recording grows.
        struct Onset {
            double frequency, level;
            size_t next = 0, good = 0;
            long from(const Samples& s) {
                const size_t window = 2400;
                for (; next + window <= s.size(); next += window) {
                    const Samples w(s.begin() + next, s.begin() + next + window);
                    good = toneLevel(w, frequency) > level ? good + 1 : 0;
                    if (good == 20) return long(next + window - 20 * window);
                }
                return -1L;
            }
        };
        // The tones go in at 8000; the virtual microphone plays at its volume.
        Onset micOnset{440, 1000}, speakerOnset{1000, 4000};
        waitFor(
            [&] {
                const long m = micFound ? -1 : micOnset.from(virtualMic.samples());
                const long s = speakerFound ? -1 : speakerOnset.from(speaker.samples());
                auto seconds = [&](const Recorder& r, long frame) {
                    return std::chrono::duration<double>(r.arrival(size_t(frame)) - since).count();
                };
                if (m >= 0) micAt = seconds(virtualMic, m), micFound = true;
                if (s >= 0) speakerAt = seconds(speaker, s), speakerFound = true;
                return micFound && speakerFound;
            },
            std::chrono::seconds(20));
        std::fprintf(stderr,
                     "%s: microphone path carries after %.2f s, speaker path after %.2f s\n", when,
                     micAt, speakerAt);
        EXPECT_TRUE(micFound) << when << ": the microphone path stays silent";
        EXPECT_TRUE(speakerFound) << when << ": the speaker path stays silent";
        const Samples m = virtualMic.take();
        const Samples late(m.end() - std::min<size_t>(m.size(), 24000), m.end());
        EXPECT_LT(toneLevel(late, 1000), 100) << when << ": the speaker leaks into the microphone";
        return std::max(micAt, speakerAt);
    }

    int speakerModule = -1;
    std::unique_ptr<FifoMicrophone> mic;
    std::unique_ptr<OwnStreamGuard> guard;
    DriverDevice driver;
    QuietOwner owner;
    PcmCaptureLoop capture;
    PcmPlayLoop play;
    std::unique_ptr<Player> player;
    QObject context;
};

TEST_F(OwnStreamsTest, StayOnRealDevicesWhenTheCompanionDevicesBecomeDefaults) {
    ASSERT_TRUE(waitFor(onRealDevices));
    expectBothPathsCarry("at start");

    // The companion devices made the defaults while both loops run: the
    // server moves both streams onto them at once.
    const unsigned long before = guard->streamsPutBack();
    auto since = Clock::now();
    pactl({"set-default-sink", "Sonvale_Speaker"});
    pactl({"set-default-source", "Sonvale_Microphone"});
    std::fprintf(stderr, "defaults switched: back on the real devices after %.3f s\n",
                 secondsUntilOnRealDevices(since));
    EXPECT_TRUE(waitFor([&] { return guard->streamsPutBack() >= before + 2; }))
        << "the server did not move the streams: the test no longer tests the guard";
    expectBothPathsCarry("after the defaults switched");

    // Streams the guard has put back stay where it put them; the program's
    // paths are opened anew, with the companion devices already the defaults,
    // as at start-up.
    restartLoops();
    ASSERT_TRUE(waitFor(onRealDevices));

    // The companion devices unloaded and loaded again: the server makes them
    // the defaults again as soon as they are back, and moves the streams.
    const unsigned long beforeReload = guard->streamsPutBack();
    runDriverScript("down");
    since = Clock::now();
    runDriverScript("up");
    std::fprintf(stderr, "devices reloaded: back on the real devices after %.3f s\n",
                 secondsUntilOnRealDevices(since));
    EXPECT_TRUE(waitFor([&] { return guard->streamsPutBack() >= beforeReload + 2; }));
    player = std::make_unique<Player>("Sonvale_Speaker", 48000, 2);
    player->play(interleave(tone(1000, 48000, 48000 * 120)));
    expectBothPathsCarry("after the devices were reloaded", since);
    EXPECT_TRUE(owner.ended.isEmpty()) << "capture ended: " << owner.ended.join(',').toStdString();
}

// The server ends the play loop's stream: the loop opens the speaker again.
// Then the speaker itself goes, and with no other real speaker the guard ends
// the stream the server rescued onto the virtual speaker: the loop reports
// the speaker gone.
TEST_F(OwnStreamsTest, FailedOutputIsReopenedOrReportedGone) {
    QStringList gone;
    play.setOutputLostHandler([&](const QString& name) { gone << name; });
    ASSERT_TRUE(waitFor(onRealDevices));
    const int first = ownPlaybackStream();
    ASSERT_GE(first, 0);
    {
        // pactl has no command for it; the server's own request does it.
        PulseSession session;
        ASSERT_TRUE(session.ok());
        ASSERT_TRUE(session.Wait(
            pa_context_kill_sink_input(session.context(), uint32_t(first), nullptr, nullptr)));
    }
    ASSERT_TRUE(waitFor([&] { return play.outputReopens() == 1; }))
        << "the play loop did not notice its output failed";
    ASSERT_TRUE(waitFor([&] {
        const int now = ownPlaybackStream();
        return now >= 0 && now != first && onRealDevices();
    }));
    expectBothPathsCarry("after the output was ended");
    EXPECT_TRUE(gone.isEmpty());

    player.reset();
    unloadModule(speakerModule);
    speakerModule = -1;
    ASSERT_TRUE(waitFor([&] { return !gone.isEmpty(); }))
        << "the play loop did not report its speaker gone";
    EXPECT_EQ(gone, QStringList{"Standin_Speaker"});
    for (const auto& [kind, device] : ownStreams())
        EXPECT_FALSE(device.contains("Sonvale"))
            << kind.toStdString() << " on " << device.toStdString();
}

}  // namespace
}  // namespace sonvale::test
