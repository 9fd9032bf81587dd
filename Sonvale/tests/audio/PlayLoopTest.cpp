// The play loop against a private PulseAudio daemon: audio played to the
// companion virtual speaker, a stand-in real speaker (a null sink) recorded
// from its monitor.
#include <gtest/gtest.h>

#include <QObject>
#include <vector>

#include "LoopTestSupport.h"
#include "audio/PcmPlayLoop.h"

namespace sonvale::test {
namespace {

class PlayLoopTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(openDriver(driver));
        loop.setDriver(&driver);
        loop.setFormatFailureHandler([this](const QString& text) { messages << text; });
    }

    int addSpeaker(const QString& name, int rate = 48000, int channels = 2) {
        const int index = loadModule("module-null-sink",
                                     {"sink_name=" + name, "rate=" + QString::number(rate),
                                      "channels=" + QString::number(channels), "format=s16le"});
        EXPECT_TRUE(waitForDevice(name, true));
        return index;
    }

    // What the main window does when the speaker selection changes.
    bool select(const QString& name) {
        if (loop.isOpened() && loop.deviceName() == name) return true;
        if (loop.isOpened()) loop.stopPlayback();
        const bool ok = loop.selectDevice(name);
        loop.startPlayback();
        return ok;
    }

    static bool recordUntil(Recorder& rec, size_t frames, int channels = 2) {
        return waitFor([&] { return rec.samples().size() / channels >= frames; },
                       std::chrono::seconds(60));
    }

    static void settle(int ms = 400) {
        waitFor([] { return false; }, std::chrono::milliseconds(ms));
    }

    DriverDevice driver;
    PcmPlayLoop loop;
    QStringList messages;
};

TEST_F(PlayLoopTest, ListsOnlyRealSpeakers) {
    addSpeaker("RealSpeaker");
    QString first;
    const auto devices = PcmPlayLoop::GetQAudioInputDeviceInfo(first);
    QStringList names;
    for (const auto& d : devices) names << d.deviceName();
    EXPECT_TRUE(names.contains("RealSpeaker"));
    EXPECT_TRUE(names.contains("Sonvale_Speaker"));
    EXPECT_FALSE(names.contains("default"));  // an ALSA pseudo-device
    EXPECT_EQ(first, names.value(0));
    EXPECT_FALSE(loop.selectDevice("NoSuchSpeaker"));
    EXPECT_FALSE(loop.isOpened());
    // Selecting the speaker in use does nothing.
    ASSERT_TRUE(select("RealSpeaker"));
    EXPECT_TRUE(select("RealSpeaker"));
    EXPECT_EQ(loop.deviceName(), "RealSpeaker");
    loop.stopPlayback();
    EXPECT_FALSE(loop.isOpened());
    EXPECT_TRUE(loop.deviceName().isEmpty());
}

// Suppression off, speaker at 48000 Hz: what is played to the virtual speaker
// reaches the real speaker unchanged in both channels; with suppression on,
// speech in the right channel alone still reaches both.
TEST_F(PlayLoopTest, DirectPathIsBitExact) {
    const Mixture mix = loadMixture(kSteadyMixture);
    addSpeaker("RealSpeaker");
    ASSERT_TRUE(select("RealSpeaker"));
    Recorder rec("RealSpeaker.monitor", 48000, 2);
    Player player("Sonvale_Speaker", 48000, 2);
    settle();
    // Another signal on the right: the mixture backwards.
    const Samples right(mix.noisy.rbegin(), mix.noisy.rend());
    player.play(interleave(mix.noisy, &right));
    ASSERT_TRUE(recordUntil(rec, mix.noisy.size() + 96000));
    const Samples out = rec.take();
    dumpWav("play_direct", out, 48000, 2);
    expectHoldsExactly(channel(out, 2, 0), mix.noisy);
    expectHoldsExactly(channel(out, 2, 1), right);

    expectRightOnlySpeechSurvives(
        mix, rec, [&](const Samples& s) { player.play(s); }, [&] { loop.setNoiseCancel(1); });
    EXPECT_EQ(loop.droppedBytes(), 0u);
    EXPECT_TRUE(messages.isEmpty());
}

// Speaker at 44100 Hz: the loop converts to it itself; a tone keeps its pitch
// and its length.
TEST_F(PlayLoopTest, Speaker44100KeepsPitchAndLength) {
    addSpeaker("RealSpeaker", 44100);
    QAudioFormat f;
    f.setSampleRate(44100);
    f.setChannelCount(2);
    f.setSampleSize(16);
    f.setSampleType(QAudioFormat::SignedInt);
    f.setByteOrder(QAudioFormat::LittleEndian);
    f.setCodec("audio/pcm");
    loop.setRequestedFormat(f);
    ASSERT_TRUE(select("RealSpeaker"));
    ASSERT_EQ(loop.outputFormat().sampleRate(), 44100);
    Recorder rec("RealSpeaker.monitor", 44100, 2);
    Player player("Sonvale_Speaker", 48000, 2);
    settle();
    player.play(interleave(tone(1000, 48000, 48000)));  // 1 s
    ASSERT_TRUE(recordUntil(rec, 44100 * 3));
    const Samples left = channel(rec.take(), 2, 0);
    long first = -1, last = -1;
    for (size_t i = 0; i < left.size(); ++i)
        if (std::abs(left[i]) > 800) {
            if (first < 0) first = static_cast<long>(i);
            last = static_cast<long>(i);
        }
    ASSERT_GE(first, 0);
    EXPECT_NEAR(last - first, 44100, 44);
    int crossings = 0;
    for (long i = first + 4410; i < first + 4410 + 35280; ++i)
        if (left[i - 1] < 0 && left[i] >= 0) ++crossings;
    EXPECT_NEAR(crossings, 800, 1);
}

// A speaker opened in mono gets the mean of both channels, not stereo bytes
// read as mono samples (which would double the length).
TEST_F(PlayLoopTest, MonoSpeakerGetsBothChannels) {
    const Mixture mix = loadMixture(kSteadyMixture);
    addSpeaker("RealSpeaker", 48000, 1);
    QAudioFormat f;
    f.setSampleRate(48000);
    f.setChannelCount(1);
    f.setSampleSize(16);
    f.setSampleType(QAudioFormat::SignedInt);
    f.setByteOrder(QAudioFormat::LittleEndian);
    f.setCodec("audio/pcm");
    loop.setRequestedFormat(f);
    ASSERT_TRUE(select("RealSpeaker"));
    ASSERT_EQ(loop.outputFormat().channelCount(), 1);
    Recorder rec("RealSpeaker.monitor", 48000, 1);
    Player player("Sonvale_Speaker", 48000, 2);
    settle();
    const Samples right = tone(440, 48000, mix.noisy.size());
    Samples mean(mix.noisy.size());
    for (size_t i = 0; i < mean.size(); ++i)
        mean[i] = static_cast<std::int16_t>((int(mix.noisy[i]) + int(right[i])) / 2);
    player.play(interleave(mix.noisy, &right));
    ASSERT_TRUE(recordUntil(rec, mix.noisy.size() + 96000, 1));
    expectHoldsExactly(rec.take(), mean);
}

// A speaker opened with float samples gets the same audio, converted.
TEST_F(PlayLoopTest, FloatSpeakerGetsConvertedSamples) {
    const Mixture mix = loadMixture(kSteadyMixture);
    addSpeaker("RealSpeaker");
    QAudioFormat f;
    f.setSampleRate(48000);
    f.setChannelCount(2);
    f.setSampleSize(32);
    f.setSampleType(QAudioFormat::Float);
    f.setByteOrder(QAudioFormat::LittleEndian);
    f.setCodec("audio/pcm");
    loop.setRequestedFormat(f);
    ASSERT_TRUE(select("RealSpeaker"));
    ASSERT_EQ(loop.outputFormat().sampleType(), QAudioFormat::Float);
    Recorder rec("RealSpeaker.monitor", 48000, 2);
    Player player("Sonvale_Speaker", 48000, 2);
    settle();
    player.play(interleave(mix.noisy));
    ASSERT_TRUE(recordUntil(rec, mix.noisy.size() + 96000));
    // The server turns the floats back into 16-bit for the recording.
    const Samples left = channel(rec.take(), 2, 0);
    const long onset = firstNonZero(left);
    ASSERT_GE(onset, 0);
    double corr = 0;
    const long lag = bestLag(left, mix.noisy, onset, 64, mix.noisy.size(), &corr);
    EXPECT_GT(corr, 0.9999);
    int worst = 0;
    for (size_t i = 0; i < mix.noisy.size() && lag + i < left.size(); ++i)
        worst = std::max(worst, std::abs(int(left[lag + i]) - mix.noisy[i]));
    EXPECT_LE(worst, 1);
}

TEST_F(PlayLoopTest, SuppressionRemovesNoiseKeepsSpeech) {
    const Mixture mix = loadMixture(kSteadyMixture);
    addSpeaker("RealSpeaker");
    ASSERT_TRUE(select("RealSpeaker"));
    Recorder rec("RealSpeaker.monitor", 48000, 2);
    Player player("Sonvale_Speaker", 48000, 2);
    settle();
    player.play(interleave(twice(mix.noisy)));
    // Suppression starts once the noise arrives (see the capture loop's test).
    ASSERT_TRUE(waitFor([&] { return firstNonZero(rec.samples()) >= 0; }));
    loop.setNoiseCancel(1);
    ASSERT_TRUE(recordUntil(rec, 2 * mix.noisy.size() + 96000));
    const Samples out = rec.take();
    dumpWav("play_suppressed", out, 48000, 2);
    const SuppressionResult r = measureSuppression(channel(out, 2, 0), mix);
    RecordProperty("lead_in_drop_db", std::to_string(r.leadInDropDb));
    EXPECT_GE(r.leadInDropDb, 10.0);
    RecordProperty("slips", std::to_string(r.slips));
    EXPECT_GE(r.speechCorr, 0.6) << r.slips << " gaps in the speech";
    EXPECT_LE(r.speechLossDb, 6.0);
}

// Switching suppression moves to the other chain with a short crossfade and
// no audio left over from the last time (see expectCleanSwitches).
TEST_F(PlayLoopTest, SwitchingSuppressionIsClean) {
    const Mixture mix = loadMixture(kSteadyMixture);
    addSpeaker("RealSpeaker");
    ASSERT_TRUE(select("RealSpeaker"));
    Recorder rec("RealSpeaker.monitor", 48000, 2);
    Player player("Sonvale_Speaker", 48000, 2);
    settle();
    expectCleanSwitches(
        mix, rec, [&](const Samples& s) { player.play(interleave(s)); },
        [&](bool on) { loop.setNoiseCancel(on); });
    EXPECT_EQ(loop.droppedBytes(), 0u);
}

// The virtual speaker stalls for 200 ms while a call plays: the real speaker
// runs dry. The loop counts that underrun with its length, grows the
// speaker's buffer by a step, and within 2 s the path's delay is back to what
// it was plus that step, instead of carrying the gap with it for good.
TEST_F(PlayLoopTest, UnderrunIsCountedAndTheDelayRecovers) {
    addSpeaker("RealSpeaker");
    ASSERT_TRUE(select("RealSpeaker"));
    Recorder in("Sonvale_Speaker.monitor", 48000, 2);
    Recorder out("RealSpeaker.monitor", 48000, 2);
    Player player("Sonvale_Speaker", 48000, 2);
    settle();
    // A quiet hum all along, with a short loud burst now and then to time.
    const auto delayMs = [&] {
        const size_t inFrom = in.samples().size() / 2, outFrom = out.samples().size() / 2;
        player.play(interleave(tone(1000, 48000, 1920, 16000)));
        long a = -1, b = -1;
        const auto onset = [](const Samples& s, size_t from) {
            for (size_t f = from; 2 * f < s.size(); ++f)
                if (std::abs(int(s[2 * f])) > 4000) return long(f);
            return -1L;
        };
        waitFor(
            [&] {
                a = onset(in.samples(), inFrom);
                b = onset(out.samples(), outFrom);
                return a >= 0 && b >= 0;
            },
            std::chrono::seconds(5));
        if (a < 0 || b < 0) return -1.0;
        settle(300);
        return std::chrono::duration<double, std::milli>(out.arrival(size_t(b)) -
                                                         in.arrival(size_t(a)))
            .count();
    };
    player.play(interleave(tone(300, 48000, 4800, 500)));
    settle(300);
    std::vector<double> before;
    for (int i = 0; i < 3; ++i) before.push_back(delayMs());
    std::sort(before.begin(), before.end());
    const int bufferBefore = loop.speakerBufferMs();
    ASSERT_GT(before[1], 0);

    player.play(interleave(tone(300, 48000, 48000 * 4, 500)));
    settle(300);
    pactl({"suspend-sink", "Sonvale_Speaker", "1"});
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    pactl({"suspend-sink", "Sonvale_Speaker", "0"});
    ASSERT_TRUE(waitFor([&] { return loop.underruns() > 0; }, std::chrono::seconds(5)))
        << "the underrun was not counted";
    RecordProperty("underrun_ms", std::to_string(loop.underrunMs()));
    EXPECT_GE(loop.underrunMs(), 50.0);
    EXPECT_LE(loop.underrunMs(), 1000.0);
    settle(2000);
    EXPECT_GT(loop.speakerBufferMs(), bufferBefore);
    std::vector<double> after;
    for (int i = 0; i < 3; ++i) after.push_back(delayMs());
    std::sort(after.begin(), after.end());
    RecordProperty("delay_before_ms", std::to_string(before[1]));
    RecordProperty("delay_after_ms", std::to_string(after[1]));
    EXPECT_LE(after[1], before[1] + (loop.speakerBufferMs() - bufferBefore) + 20.0)
        << "the gap stayed in the path's delay";
}

// A speaker that stops taking data (suspended) must not hold up stopPlayback.
TEST_F(PlayLoopTest, FullSpeakerDoesNotHoldUpStop) {
    addSpeaker("RealSpeaker");
    ASSERT_TRUE(select("RealSpeaker"));
    Player player("Sonvale_Speaker", 48000, 2);
    player.play(interleave(tone(300, 48000, 48000 * 20)));
    settle();
    pactl({"suspend-sink", "RealSpeaker", "1"});
    settle(600);  // the loop now waits for free space that does not come
    loop.stopPlayback();
    EXPECT_FALSE(loop.isRunning());
    EXPECT_FALSE(loop.isOpened());
    pactl({"suspend-sink", "RealSpeaker", "0"});
    // And it plays again afterwards.
    Recorder rec("RealSpeaker.monitor", 48000, 2);
    ASSERT_TRUE(select("RealSpeaker"));
    ASSERT_TRUE(waitFor([&] {
        const Samples s = rec.samples();
        return firstNonZero(s) >= 0;
    }));
}

// Switching suppression and speakers while audio flows: no crash, no stuck
// thread, no gap beyond the filter bank's delay, and the audio follows the
// speaker.
TEST_F(PlayLoopTest, SwitchingWhileAudioFlows) {
    addSpeaker("RealSpeaker");
    addSpeaker("OtherSpeaker");
    ASSERT_TRUE(select("RealSpeaker"));
    Recorder rec("RealSpeaker.monitor", 48000, 2);
    Player player("Sonvale_Speaker", 48000, 2);
    settle();
    player.play(interleave(tone(700, 48000, 48000 * 30)));
    ASSERT_TRUE(waitFor([&] { return firstNonZero(rec.samples()) >= 0; }));
    for (int i = 0; i < 12; ++i) {
        loop.setNoiseCancel(i % 2 == 0);
        settle(200);
    }
    loop.setNoiseCancel(0);
    settle(200);
    const Samples left = channel(rec.take(), 2, 0);
    const long onset = firstNonZero(left);
    ASSERT_GE(onset, 0);
    const size_t allowed = 1535 + 960 + 480;
    EXPECT_LE(longestZeroRun(left, onset, left.size() - 4800), allowed);

    Recorder other("OtherSpeaker.monitor", 48000, 2);
    for (int i = 0; i < 6; ++i) {
        ASSERT_TRUE(select(i % 2 == 0 ? "OtherSpeaker" : "RealSpeaker"));
        settle(150);
    }
    ASSERT_TRUE(select("OtherSpeaker"));
    const size_t before = other.samples().size();
    ASSERT_TRUE(waitFor([&] {
        const Samples s = other.samples();
        return s.size() > before + 9600 && firstNonZero(Samples(s.begin() + before, s.end())) >= 0;
    }));
    EXPECT_EQ(loop.deviceName(), "OtherSpeaker");
    EXPECT_TRUE(messages.isEmpty());
}

TEST_F(PlayLoopTest, HundredStopStarts) {
    addSpeaker("RealSpeaker");
    Player player("Sonvale_Speaker", 48000, 2);
    player.play(interleave(tone(300, 48000, 48000 * 60)));
    for (int i = 0; i < 100; ++i) {
        loop.setNoiseCancel(i % 3 == 0);
        ASSERT_TRUE(loop.selectDevice("RealSpeaker"));
        loop.startPlayback();
        if (i % 10 == 0) settle(50);
        loop.stopPlayback();
    }
    EXPECT_FALSE(loop.isRunning());
    Recorder rec("RealSpeaker.monitor", 48000, 2);
    ASSERT_TRUE(select("RealSpeaker"));
    ASSERT_TRUE(waitFor([&] { return firstNonZero(rec.samples()) >= 0; }));
    EXPECT_TRUE(messages.isEmpty());
}

}  // namespace
}  // namespace sonvale::test
