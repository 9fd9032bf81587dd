// Both loops on a daemon without the companion devices: the driver is not
// found, audio is processed and discarded, nothing fails.
#include <gtest/gtest.h>

#include <QObject>

#include "LoopTestSupport.h"
#include "audio/PcmCaptureLoop.h"
#include "audio/PcmPlayLoop.h"

namespace sonvale::test {
namespace {

struct CountingOwner : CaptureLoopOwner {
    void NotifyRemoveMicroppone(int, const QString&) override { ++calls; }
    int calls = 0;
};

class NoDriverTest : public ::testing::Test {
protected:
    void SetUp() override {
        wchar_t path[kDriverPathCapacity] = {};
        ASSERT_FALSE(findDriverInterface(path, 0));
        capture.setOwner(&owner);
        play.setFormatFailureHandler([this](const QString& text) { messages << text; });
        QObject::connect(&capture, &PcmCaptureLoop::setupFinished, &context,
                         [this](bool ok) { setups.push_back(ok); });
    }

    CountingOwner owner;
    PcmCaptureLoop capture;
    PcmPlayLoop play;
    QObject context;
    std::vector<bool> setups;
    QStringList messages;
};

TEST_F(NoDriverTest, BothLoopsRunAndDiscard) {
    const Mixture mix = loadMixture(kSteadyMixture);
    FifoMicrophone mic("RealMic", 48000, 1);
    loadModule("module-null-sink", {"sink_name=RealSpeaker"});
    ASSERT_TRUE(waitForDevice("RealMic", false));
    ASSERT_TRUE(waitForDevice("RealSpeaker", true));

    capture.setNoiseCancel(1);
    ASSERT_TRUE(capture.startCapture("RealMic"));
    ASSERT_TRUE(waitFor([&] { return !setups.empty(); }));
    EXPECT_TRUE(setups.back());
    ASSERT_TRUE(play.selectDevice("RealSpeaker"));
    play.startPlayback();

    Recorder speaker("RealSpeaker.monitor", 48000, 2);
    mic.play(mix.noisy);
    // Both paths, with and without suppression, for the length of the file.
    for (int i = 0; i < 6; ++i) {
        capture.setNoiseCancel(i % 2);
        play.setNoiseCancel(i % 2);
        waitFor([] { return false; }, std::chrono::milliseconds(500));
    }
    EXPECT_TRUE(capture.isOpened());
    EXPECT_TRUE(capture.isRunning());
    EXPECT_TRUE(play.isOpened());
    EXPECT_TRUE(play.isRunning());
    EXPECT_EQ(owner.calls, 0);
    EXPECT_EQ(capture.droppedBytes(), 0u);
    // With nothing from a driver the speaker only ever hears silence.
    EXPECT_EQ(firstNonZero(speaker.take()), -1);

    capture.closeCapture();
    play.stopPlayback();
    EXPECT_FALSE(capture.isRunning());
    EXPECT_FALSE(play.isRunning());
    EXPECT_TRUE(messages.isEmpty());
}

TEST_F(NoDriverTest, HundredStopStartsOfBoth) {
    FifoMicrophone mic("RealMic", 48000, 1);
    mic.play(tone(500, 48000, 48000 * 60));
    loadModule("module-null-sink", {"sink_name=RealSpeaker"});
    ASSERT_TRUE(waitForDevice("RealMic", false));
    ASSERT_TRUE(waitForDevice("RealSpeaker", true));
    for (int i = 0; i < 100; ++i) {
        ASSERT_TRUE(capture.startCapture("RealMic"));
        ASSERT_TRUE(play.selectDevice("RealSpeaker"));
        play.startPlayback();
        if (i % 10 == 0) waitFor([] { return false; }, std::chrono::milliseconds(50));
        capture.stopCapture();
        play.stopPlayback();
    }
    EXPECT_FALSE(capture.isRunning());
    EXPECT_FALSE(play.isRunning());
    EXPECT_EQ(owner.calls, 0);
}

}  // namespace
}  // namespace sonvale::test
