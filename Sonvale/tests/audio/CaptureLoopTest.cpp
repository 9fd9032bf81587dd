// The capture loop against a private PulseAudio daemon: a stand-in microphone
// fed from a corpus file, the companion devices, and the virtual microphone
// recorded through the server.
#include <gtest/gtest.h>

#include <QObject>
#include <QProcess>
#include <vector>

#include "LoopTestSupport.h"
#include "audio/DeviceWatch.h"
#include "audio/PcmCaptureLoop.h"
#include "audio/PcmPlayLoop.h"

namespace sonvale::test {
namespace {

struct RecordingOwner : CaptureLoopOwner {
    void NotifyRemoveMicroppone(int state, const QString& name) override {
        calls.emplace_back(state, name);
        // What the main window does for the current microphone.
        if (loop && closeOnNotify) loop->closeCapture();
    }
    std::vector<std::pair<int, QString>> calls;
    PcmCaptureLoop* loop = nullptr;
    bool closeOnNotify = true;
};

class CaptureLoopTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(openDriver(driver));
        owner.loop = &loop;
        loop.setOwner(&owner);
        loop.setDriver(&driver);
        QObject::connect(&loop, &PcmCaptureLoop::setupFinished, &context,
                         [this](bool ok) { setups.push_back(ok); });
    }

    // Starts capture on `name` and waits for its set-up.
    bool startOn(const QString& name) {
        if (!waitForDevice(name, false)) return false;
        const size_t before = setups.size();
        if (!loop.startCapture(name)) return false;
        return waitFor([&] { return setups.size() > before; }) && setups.back();
    }

    // Runs the event loop until the recorder holds `frames` frames.
    static bool recordUntil(Recorder& rec, size_t frames, int channels = 2) {
        return waitFor([&] { return rec.samples().size() / channels >= frames; },
                       std::chrono::seconds(60));
    }

    static void settle(int ms = 400) {
        waitFor([] { return false; }, std::chrono::milliseconds(ms));
    }

    DriverDevice driver;
    RecordingOwner owner;
    PcmCaptureLoop loop;
    QObject context;
    std::vector<bool> setups;
};

TEST_F(CaptureLoopTest, ListsOnlyRealMicrophones) {
    FifoMicrophone mic("RealMic", 48000, 1);
    loadModule("module-null-sink", {"sink_name=RealSpeaker"});
    ASSERT_TRUE(waitForDevice("RealMic", false));
    ASSERT_TRUE(waitFor([] {
        for (const auto& d : QAudioDeviceInfo::availableDevices(QAudio::AudioInput))
            if (d.deviceName() == "RealSpeaker.monitor") return true;
        return false;
    }));

    QString first;
    const auto devices = PcmCaptureLoop::GetQAudioOutDeviceInfo(first);
    QStringList names;
    for (const auto& d : devices) names << d.deviceName();
    EXPECT_TRUE(names.contains("RealMic"));
    EXPECT_TRUE(names.contains("Sonvale_Microphone"));
    EXPECT_FALSE(names.contains("RealSpeaker.monitor"));
    EXPECT_FALSE(names.contains("default"));  // an ALSA pseudo-device
    EXPECT_EQ(first, names.value(0));

    EXPECT_FALSE(loop.startCapture("RealSpeaker.monitor"));
    EXPECT_FALSE(loop.startCapture("NoSuchMicrophone"));
    EXPECT_FALSE(loop.isRunning());
    EXPECT_FALSE(loop.isOpened());
}

// Suppression off, 48000 Hz mono: the file reaches the virtual microphone
// unchanged, in both channels.
TEST_F(CaptureLoopTest, DirectPathIsBitExact) {
    const Mixture mix = loadMixture(kSteadyMixture);
    FifoMicrophone mic("RealMic", 48000, 1);
    ASSERT_TRUE(startOn("RealMic"));
    EXPECT_EQ(loop.captureRate(), 48000);
    EXPECT_EQ(loop.deviceName(), "RealMic");
    Recorder rec("Sonvale_Microphone", 48000, 2);
    settle();
    mic.play(mix.noisy);
    ASSERT_TRUE(recordUntil(rec, mix.noisy.size() + 96000));
    const Samples out = rec.take();
    EXPECT_EQ(channel(out, 2, 0), channel(out, 2, 1));
    expectHoldsExactly(channel(out, 2, 0), mix.noisy);
    EXPECT_EQ(loop.droppedBytes(), 0u);
    EXPECT_TRUE(owner.calls.empty());
}

// Stereo input: with suppression off both channels arrive unchanged; with it
// on, speech in the right channel alone still reaches both.
TEST_F(CaptureLoopTest, StereoInputKeepsBothChannels) {
    const Mixture mix = loadMixture(kSteadyMixture);
    FifoMicrophone mic("RealMic", 48000, 2);
    loop.setRequestedFormat(48000, 2);
    ASSERT_TRUE(startOn("RealMic"));
    ASSERT_EQ(loop.channelCount(), 2);
    Recorder rec("Sonvale_Microphone", 48000, 2);
    settle();
    // Another signal on the right: the mixture backwards.
    const Samples right(mix.noisy.rbegin(), mix.noisy.rend());
    mic.play(interleave(mix.noisy, &right));
    ASSERT_TRUE(recordUntil(rec, mix.noisy.size() + 96000));
    const Samples out = rec.take();
    expectHoldsExactly(channel(out, 2, 0), mix.noisy);
    expectHoldsExactly(channel(out, 2, 1), right);

    expectRightOnlySpeechSurvives(
        mix, rec, [&](const Samples& s) { mic.play(s); }, [&] { loop.setNoiseCancel(1); });
    EXPECT_EQ(loop.droppedBytes(), 0u);
}

// A 44100 Hz microphone goes through the loop's own converter to 48000 Hz:
// a tone keeps its pitch and its length.
TEST_F(CaptureLoopTest, Input44100KeepsPitchAndLength) {
    FifoMicrophone mic("RealMic", 44100, 1);
    loop.setRequestedFormat(44100, 1);
    ASSERT_TRUE(startOn("RealMic"));
    ASSERT_EQ(loop.captureRate(), 44100);
    Recorder rec("Sonvale_Microphone", 48000, 2);
    settle();
    mic.play(tone(1000, 44100, 44100));  // 1 s
    ASSERT_TRUE(recordUntil(rec, 48000 * 2));
    const Samples left = channel(rec.take(), 2, 0);

    // Length: from the first to the last sample above a tenth of the amplitude.
    long first = -1, last = -1;
    for (size_t i = 0; i < left.size(); ++i)
        if (std::abs(left[i]) > 800) {
            if (first < 0) first = static_cast<long>(i);
            last = static_cast<long>(i);
        }
    ASSERT_GE(first, 0);
    EXPECT_NEAR(last - first, 48000, 48);
    // Pitch: rising zero crossings over the steady middle.
    int crossings = 0;
    for (long i = first + 4800; i < first + 4800 + 38400; ++i)
        if (left[i - 1] < 0 && left[i] >= 0) ++crossings;
    EXPECT_NEAR(crossings, 800, 1);  // 0.8 s of 1000 Hz
}

// Suppression on, noisy speech: the noise of the lead-in drops by at least
// 10 dB and the speech stays.
TEST_F(CaptureLoopTest, SuppressionRemovesNoiseKeepsSpeech) {
    const Mixture mix = loadMixture(kSteadyMixture);
    FifoMicrophone mic("RealMic", 48000, 1);
    ASSERT_TRUE(startOn("RealMic"));
    Recorder rec("Sonvale_Microphone", 48000, 2);
    settle();
    mic.play(twice(mix.noisy));
    // Suppression starts once the room noise arrives: the noise tracker's
    // first frames are then noise, as from a real microphone, not the
    // stand-in's digital silence, which it takes seconds to recover from.
    ASSERT_TRUE(waitFor([&] { return firstNonZero(rec.samples()) >= 0; }));
    loop.setNoiseCancel(1);
    ASSERT_TRUE(recordUntil(rec, 2 * mix.noisy.size() + 96000));
    const Samples out = rec.take();
    dumpWav("capture_suppressed", out, 48000, 2);
    const SuppressionResult r = measureSuppression(channel(out, 2, 0), mix);
    RecordProperty("lead_in_drop_db", std::to_string(r.leadInDropDb));
    EXPECT_GE(r.leadInDropDb, 10.0);
    EXPECT_GE(r.speechCorr, 0.6);
    EXPECT_LE(r.speechLossDb, 6.0);
}

// Switching suppression while audio flows leaves no gap beyond the filter
// bank's delay and one block; switching microphones keeps the loop working.
TEST_F(CaptureLoopTest, SwitchingWhileAudioFlows) {
    FifoMicrophone micA("RealMic", 48000, 1);
    FifoMicrophone micB("OtherMic", 48000, 1);
    ASSERT_TRUE(waitForDevice("OtherMic", false));
    ASSERT_TRUE(startOn("RealMic"));
    Recorder rec("Sonvale_Microphone", 48000, 2);
    settle();
    micA.play(tone(700, 48000, 48000 * 3));
    for (int i = 0; i < 12; ++i) {
        loop.setNoiseCancel(i % 2 == 0);
        settle(200);
    }
    loop.setNoiseCancel(0);
    const Samples left = channel(rec.take(), 2, 0);
    const long onset = firstNonZero(left);
    ASSERT_GE(onset, 0);
    // Library delay (1023 samples at 32 kHz) plus one block each side.
    const size_t allowed = 1535 + 960 + 480;
    EXPECT_LE(longestZeroRun(left, onset, left.size() - 4800), allowed);

    // Now to the other microphone and back, as the window does it.
    micB.play(tone(1500, 48000, 48000 * 20));
    for (int i = 0; i < 6; ++i) {
        const QString next = i % 2 == 0 ? "OtherMic" : "RealMic";
        loop.stopCapture();
        ASSERT_TRUE(startOn(next));
        EXPECT_EQ(loop.deviceName(), next);
        settle(150);
    }
    // Audio flows from the microphone now in use (OtherMic's 1500 Hz tone).
    loop.stopCapture();
    ASSERT_TRUE(startOn("OtherMic"));
    const size_t before = rec.samples().size() / 2;
    ASSERT_TRUE(recordUntil(rec, before + 24000));
    const Samples tail = channel(rec.take(), 2, 0);
    const Samples ref = tone(1500, 48000, 4800);
    double corr = 0;
    bestLag(tail, ref, static_cast<long>(tail.size()) - 9600, 64, 4800, &corr);
    EXPECT_GT(corr, 0.9);
    EXPECT_TRUE(owner.calls.empty());
}

// Switching suppression moves to the other chain with a short crossfade and
// no audio left over from the last time (see expectCleanSwitches).
TEST_F(CaptureLoopTest, SwitchingSuppressionIsClean) {
    const Mixture mix = loadMixture(kSteadyMixture);
    FifoMicrophone mic("RealMic", 48000, 1);
    ASSERT_TRUE(startOn("RealMic"));
    Recorder rec("Sonvale_Microphone", 48000, 2);
    settle();
    expectCleanSwitches(
        mix, rec, [&](const Samples& s) { mic.play(s); },
        [&](bool on) { loop.setNoiseCancel(on); });
    EXPECT_EQ(loop.droppedBytes(), 0u);
}

// The microphone's audio does not wait for the window: while the owner's
// thread switches speakers ten times in a row and then stays busy for a
// second, the microphone's speech still reaches the virtual microphone whole
// and unchanged, and nothing is dropped or refused on the way.
TEST_F(CaptureLoopTest, MicrophoneDoesNotWaitForTheWindow) {
    const Mixture mix = loadMixture(kSteadyMixture);
    FifoMicrophone mic("RealMic", 48000, 1);
    loadModule("module-null-sink", {"sink_name=SpeakerA"});
    loadModule("module-null-sink", {"sink_name=SpeakerB"});
    ASSERT_TRUE(waitForDevice("SpeakerA", true) && waitForDevice("SpeakerB", true));
    PcmPlayLoop play;
    play.setDriver(&driver);
    Recorder rec("Sonvale_Microphone", 48000, 2);
    settle(300);
    ASSERT_TRUE(startOn("RealMic"));
    settle(300);
    // The stand-in microphone hands over what its FIFO gathered before
    // anything recorded it in one burst; the virtual microphone takes no more
    // of such stale audio than its backlog's cap. Losses count from here.
    const quint64 refusedAtStart = loop.refusedBytes();
    mic.play(mix.noisy);
    settle(1000);
    for (int i = 0; i < 10; ++i) {
        play.stopPlayback();
        play.selectDevice(i % 2 ? "SpeakerA" : "SpeakerB");
        play.startPlayback();
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1000));
    play.stopPlayback();
    ASSERT_TRUE(recordUntil(rec, mix.noisy.size() + 96000));
    expectHoldsExactly(channel(rec.take(), 2, 0), mix.noisy);
    EXPECT_EQ(loop.droppedBytes(), 0u);
    EXPECT_EQ(loop.refusedBytes(), refusedAtStart);
    EXPECT_TRUE(owner.calls.empty());
}

// The microphone disappearing while in use ends capture with state 8; the
// loop can be started again once a microphone is back.
TEST_F(CaptureLoopTest, RemovedMicrophoneReportsUnplugged) {
    FifoMicrophone mic("RealMic", 48000, 1);
    ASSERT_TRUE(startOn("RealMic"));
    mic.play(tone(500, 48000, 48000 * 10));
    settle();
    mic.remove();
    ASSERT_TRUE(waitFor([&] { return !owner.calls.empty(); }));
    ASSERT_EQ(owner.calls.size(), 1u);
    EXPECT_EQ(owner.calls[0].first, 8);
    EXPECT_EQ(owner.calls[0].second, "RealMic");
    EXPECT_FALSE(loop.isOpened());
    EXPECT_FALSE(loop.isRunning());

    FifoMicrophone again("RealMic2", 48000, 1);
    ASSERT_TRUE(startOn("RealMic2"));
    Recorder rec("Sonvale_Microphone", 48000, 2);
    again.play(tone(500, 48000, 48000 * 10));
    ASSERT_TRUE(recordUntil(rec, 9600));
    EXPECT_EQ(owner.calls.size(), 1u);
}

// A microphone unplugged while its capture is being set up: every time, the
// loop reports it (or, removed after opening, notices it like any removal)
// and never hangs in the set-up, so the next microphone can be started.
TEST_F(CaptureLoopTest, MicrophoneRemovedWhileOpeningIsReported) {
    for (int i = 0; i < 8; ++i) {
        const QString name = QString("RaceMic%1").arg(i);
        FifoMicrophone mic(name, 48000, 1);
        ASSERT_TRUE(waitForDevice(name, false));
        owner.calls.clear();
        ASSERT_TRUE(loop.startCapture(name));
        // Removed at once, or a moment into the set-up.
        if (i % 2) std::this_thread::sleep_for(std::chrono::milliseconds(2 * i));
        mic.remove();
        ASSERT_TRUE(waitFor([&] { return !owner.calls.empty(); }, std::chrono::seconds(10)))
            << "no report for " << name.toStdString();
        EXPECT_EQ(owner.calls[0], std::make_pair(8, name));
        EXPECT_FALSE(loop.isRunning());
    }
    FifoMicrophone last("RealMic", 48000, 1);
    ASSERT_TRUE(startOn("RealMic"));
    EXPECT_TRUE(loop.isOpened());
}

// The watch answers whether the microphone is there before the input opens.
TEST_F(CaptureLoopTest, DeviceWatchKnowsWhetherTheMicrophoneIsThere) {
    FifoMicrophone mic("RealMic", 48000, 1);
    ASSERT_TRUE(waitForDevice("RealMic", false));
    std::atomic<int> goneThere{0}, goneMissing{0};
    auto there = DeviceWatch::forCaptureDevice("RealMic", [&] { ++goneThere; });
    auto missing = DeviceWatch::forCaptureDevice("NoSuchMic", [&] { ++goneMissing; });
    ASSERT_TRUE(there && missing);
    EXPECT_TRUE(there->waitUntilKnown(5000));
    EXPECT_FALSE(missing->waitUntilKnown(5000));
    EXPECT_EQ(goneMissing.load(), 1);
    EXPECT_EQ(goneThere.load(), 0);
    mic.remove();
    EXPECT_TRUE(waitFor([&] { return goneThere.load() == 1; }));
}

// requestStop() is carried out at the next read, reported, and the owner's
// closeCapture() inside the report is safe.
TEST_F(CaptureLoopTest, RequestedStopIsReported) {
    FifoMicrophone mic("RealMic", 48000, 1);
    ASSERT_TRUE(startOn("RealMic"));
    loop.requestStop();
    ASSERT_TRUE(waitFor([&] { return !owner.calls.empty(); }));
    EXPECT_EQ(owner.calls[0], std::make_pair(8, QString("RealMic")));
    EXPECT_FALSE(loop.isOpened());
    // Started again on the same microphone, it runs and reports nothing more.
    ASSERT_TRUE(startOn("RealMic"));
    settle();
    EXPECT_EQ(owner.calls.size(), 1u);
    EXPECT_TRUE(loop.isOpened());
}

// A stop asked for while the input delivers nothing more still ends the
// capture: here the server has ended the recording stream (as a mixer
// application can), after which Qt's input stays open, reports no error and
// every read of it comes back empty.
TEST_F(CaptureLoopTest, RequestedStopIsReportedWhenNothingMoreArrives) {
    FifoMicrophone mic("RealMic", 48000, 1);
    ASSERT_TRUE(startOn("RealMic"));
    settle();
    const QStringList outputs = pactl({"list", "short", "source-outputs"}).split('\n');
    ASSERT_FALSE(outputs.isEmpty());
    // pactl cannot end a stream; the server's command line can.
    loadModule("module-cli-protocol-unix", {});
    for (const QString& line : outputs) {
        if (line.trimmed().isEmpty()) continue;
        QProcess pacmd;
        pacmd.setProcessChannelMode(QProcess::MergedChannels);
        pacmd.start("pacmd", {"kill-source-output", line.section('\t', 0, 0)});
        ASSERT_TRUE(pacmd.waitForFinished(15000)) << "pacmd did not finish";
    }
    settle();
    ASSERT_TRUE(owner.calls.empty());
    loop.requestStop();
    ASSERT_TRUE(waitFor([&] { return !owner.calls.empty(); }, std::chrono::seconds(5)));
    EXPECT_EQ(owner.calls[0], std::make_pair(8, QString("RealMic")));
    // A stop asked for while nothing captures reports nothing.
    loop.closeCapture();
    loop.requestStop();
    settle();
    EXPECT_EQ(owner.calls.size(), 1u);
}

// Notifications queued before a stop must not act after it: a restart right
// after a stop, with the old input's readyRead calls still waiting in the
// event queue, keeps running.
TEST_F(CaptureLoopTest, StaleNotificationsDoNotEndNewCapture) {
    FifoMicrophone mic("RealMic", 48000, 1);
    mic.play(tone(500, 48000, 48000 * 30));
    ASSERT_TRUE(startOn("RealMic"));
    for (int i = 0; i < 10; ++i) {
        // Let readyRead calls pile up without running them, then restart.
        std::this_thread::sleep_for(std::chrono::milliseconds(60));
        loop.stopCapture();
        ASSERT_TRUE(loop.startCapture("RealMic"));
        settle(100);
    }
    EXPECT_TRUE(owner.calls.empty());
    EXPECT_TRUE(loop.isOpened());
    EXPECT_TRUE(loop.isRunning());
}

// A hundred stops and starts in a row, some before the set-up had time to
// finish: no hang, no leak, and the loop still works afterwards.
TEST_F(CaptureLoopTest, HundredStopStarts) {
    FifoMicrophone mic("RealMic", 48000, 1);
    mic.play(tone(500, 48000, 48000 * 60));
    ASSERT_TRUE(waitForDevice("RealMic", false));
    for (int i = 0; i < 100; ++i) {
        loop.setNoiseCancel(i % 3 == 0);
        ASSERT_TRUE(loop.startCapture("RealMic"));
        if (i % 10 == 0) settle(50);
        if (i % 2 == 0) {
            loop.stopCapture();
        } else {
            loop.closeCapture();
        }
    }
    EXPECT_FALSE(loop.isRunning());
    ASSERT_TRUE(startOn("RealMic"));
    Recorder rec("Sonvale_Microphone", 48000, 2);
    ASSERT_TRUE(recordUntil(rec, 9600));
    EXPECT_TRUE(owner.calls.empty());
}

}  // namespace
}  // namespace sonvale::test
