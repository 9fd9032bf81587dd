// Pieces shared by the capture and play loop tests.
#pragma once

#include <gtest/gtest.h>

#include <QObject>
#include <cstdlib>
#include <string>
#include <vector>

#include "PulseRig.h"
#include "platform/DriverLink.h"

namespace sonvale::test {

// The companion driver opened the way the main window opens it.
inline bool openDriver(DriverDevice& driver) {
    wchar_t path[kDriverPathCapacity] = {};
    return findDriverInterface(path, 0) && driver.open(path);
}

// The noisy and clean versions of one corpus mixture, 48000 Hz mono.
struct Mixture {
    Samples noisy, clean;
};
inline Mixture loadMixture(const std::string& stem) {
    // Without the corpus: the input the build made (SONVALE_TEST_NOISY).
    if (const char* made = std::getenv("SONVALE_TEST_NOISY"); made && made[0] != '\0') {
        const std::string noisy(made);
        return {readWav(noisy), readWav(noisy.substr(0, noisy.size() - 10) + "_clean.wav")};
    }
    return {readWav(corpusPath("mixtures/" + stem + "_noisy.wav")),
            readWav(corpusPath("mixtures/" + stem + "_clean.wav"))};
}
// A mixture with steady noise under it (fan hum).
inline const char* kSteadyMixture = "007_vctk_p232_013_M__fanhum_01__snr10";
constexpr std::size_t kLeadIn = 24000;  // 0.5 s of noise before the speech

// Expects `output` (one channel of a recording) to hold `input` whole and
// unchanged somewhere.
inline void expectHoldsExactly(const Samples& output, const Samples& input) {
    ASSERT_GT(input.size(), 9600u);
    const Samples needle(input.begin() + 4800, input.begin() + 7200);
    const long at = findExact(output, needle);
    ASSERT_GE(at, 4800) << "the input does not occur unchanged in the output";
    ASSERT_GE(output.size(), static_cast<size_t>(at - 4800) + input.size())
        << "the recording ends before the input does";
    EXPECT_EQ(matchingRun(output, at - 4800, input), input.size())
        << "the output differs from the input after the first "
        << matchingRun(output, at - 4800, input) << " samples";
}

// Noise drop in the lead-in and presence of the speech, for an output that
// carries `mix.noisy` processed twice in a row. The second pass is measured:
// a microphone delivers its room's noise all along, while the stand-in one
// starts from digital silence, which the noise tracker needs a while to forget.
struct SuppressionResult {
    double leadInDropDb = 0;  // noise energy, input minus output
    double speechCorr = 0;    // with the clean speech, aligned
    double speechLossDb = 0;  // speech-part energy, clean minus output
    int slips = 0;            // gaps the speaker inserted into the speech
};
inline Samples twice(const Samples& s) {
    Samples out(s);
    out.insert(out.end(), s.begin(), s.end());
    return out;
}
inline SuppressionResult measureSuppression(const Samples& output, const Mixture& mix) {
    SuppressionResult r;
    const long onset = firstNonZero(output);
    if (onset < 0) return r;
    // Align on the speech of the second pass, which the suppression keeps.
    const Samples speech(mix.clean.begin() + kLeadIn, mix.clean.end());
    const long expected = onset + static_cast<long>(mix.noisy.size() + kLeadIn);
    const Alignment a = alignInWindows(output, speech, expected, 4000);
    r.speechCorr = a.corr;
    r.slips = a.slips;
    const long start = a.firstLag - static_cast<long>(kLeadIn);  // where the second pass begins
    if (start < 0) return r;
    const std::size_t s = static_cast<std::size_t>(start);
    // Leave out the first 100 ms and the last 50 ms of the lead-in.
    r.leadInDropDb =
        energyDb(mix.noisy, 4800, kLeadIn - 2400) - energyDb(output, s + 4800, s + kLeadIn - 2400);
    r.speechLossDb = energyDb(mix.clean, kLeadIn, mix.clean.size()) -
                     energyDb(output, s + kLeadIn, s + mix.clean.size());
    return r;
}

// With suppression switched on by `switchOn`, the noisy mixture played twice
// by `play` in the right channel only (the left silent) comes out of
// `recording` in both channels alike, the speech kept: the suppressor hears
// the mean of the channels.
template <typename Play, typename SwitchOn>
void expectRightOnlySpeechSurvives(const Mixture& mix, Recorder& recording, Play&& play,
                                   SwitchOn&& switchOn) {
    switchOn();
    waitFor([] { return false; }, std::chrono::milliseconds(300));
    const size_t start = recording.samples().size() / 2;
    const Samples silence(2 * mix.noisy.size(), 0);
    const Samples noisy = twice(mix.noisy);
    play(interleave(silence, &noisy));
    ASSERT_TRUE(
        waitFor([&] { return recording.samples().size() / 2 >= start + noisy.size() + 48000; },
                std::chrono::seconds(60)));
    const Samples all = recording.take();
    const Samples out(all.begin() + long(2 * start), all.end());
    EXPECT_EQ(channel(out, 2, 0), channel(out, 2, 1));
    // The speech of the second pass, found near where it should be.
    const Samples speech(mix.clean.begin() + kLeadIn, mix.clean.end());
    const long onset = firstNonZero(channel(out, 2, 1));
    ASSERT_GE(onset, 0) << "nothing came through";
    const Alignment a =
        alignInWindows(channel(out, 2, 1), speech, onset + long(mix.noisy.size() + kLeadIn), 4000);
    ::testing::Test::RecordProperty("right_only_speech_corr", std::to_string(a.corr));
    ::testing::Test::RecordProperty("right_only_slips", std::to_string(a.slips));
    EXPECT_GE(a.corr, 0.6) << "the right channel's speech did not get through the suppressor ("
                           << a.slips << " gaps in it)";
}

// Switching suppression while audio flows, through a whole loop; `play` queues
// mono audio (into both channels), `suppress` switches, `recording` holds the
// loop's stereo output.
//  1. Suppressed speech, switched off half-way through, then silence, then
//     switched on again: nothing of the speech the suppressor still held at
//     the first switch may come out after the second one.
//  2. A tone across switching off: the level rises from what the suppressor
//     left of the tone to the full tone within the 10 ms crossfade, without a
//     gap. (A raised-cosine fade of F ms goes from 10 % to 90 % in 0.59 F:
//     6 ms for 10 ms, plus a millisecond each side for the measuring windows.)
template <typename Play, typename Suppress>
void expectCleanSwitches(const Mixture& mix, Recorder& recording, Play&& play,
                         Suppress&& suppress) {
    const auto frames = [&] { return recording.samples().size() / 2; };
    const auto pause = [](int ms) { waitFor([] { return false; }, std::chrono::milliseconds(ms)); };
    suppress(true);
    pause(200);
    const size_t before = frames();
    play(mix.noisy);
    // Whether anything but silence came out after frame `from`.
    const auto soundAfter = [&](size_t from) {
        const Samples s = recording.samples();
        return s.size() > 2 * from &&
               firstNonZero(Samples(s.begin() + long(2 * from), s.end())) >= 0;
    };
    ASSERT_TRUE(waitFor([&] { return soundAfter(before); }, std::chrono::seconds(20)));
    pause(int(mix.noisy.size() / 48) / 2);  // half-way through the speech
    suppress(false);
    // Until the speech is over and 300 ms of silence have come out.
    ASSERT_TRUE(waitFor(
        [&] {
            const Samples s = recording.samples();
            const size_t n = s.size() / 2;
            return n > before + mix.noisy.size() + 14400 &&
                   longestZeroRun(channel(s, 2, 0), n - 14400, n) >= 14400;
        },
        std::chrono::seconds(30)));
    const size_t switchedOn = frames();
    suppress(true);
    pause(600);
    const Samples all = recording.samples();
    const Samples after(all.begin() + long(2 * switchedOn), all.end());
    ASSERT_GT(after.size(), 2u * 9600);
    EXPECT_EQ(firstNonZero(after), -1) << "audio from before the switch came out after it";

    // A tone across switching off.
    const Samples t = tone(700, 48000, 48000 * 3, 12000);
    const size_t toneFrom = frames();
    play(t);
    ASSERT_TRUE(waitFor([&] { return soundAfter(toneFrom); }, std::chrono::seconds(20)));
    pause(2000);
    const size_t switchedOff = frames();
    suppress(false);
    pause(500);
    const Samples left = channel(recording.samples(), 2, 0);
    ASSERT_GT(left.size(), switchedOff + 14400);
    // Peak level of every millisecond from 100 ms before the switch on.
    const size_t from = switchedOff - 4800;
    std::vector<int> peak;
    for (size_t at = from; at + 48 <= left.size(); at += 48) {
        int p = 0;
        for (size_t i = at; i < at + 48; ++i) p = std::max(p, std::abs(int(left[i])));
        peak.push_back(p);
    }
    ASSERT_GT(peak.size(), 300u);
    int full = 0;
    for (size_t i = peak.size() - 100; i < peak.size() - 50; ++i) full = std::max(full, peak[i]);
    ASSERT_GT(full, 10000) << "the tone did not come back in full";
    // From the last millisecond below a tenth of the full level to the first
    // at 90 % of it (once it stays there).
    long firstFull = -1;
    for (long i = long(peak.size()) - 60; i >= 0 && peak[size_t(i)] >= full * 9 / 10; --i)
        firstFull = i;
    ASSERT_GE(firstFull, 0);
    long lastLow = -1;
    for (long i = 0; i < firstFull; ++i)
        if (peak[size_t(i)] < full / 10) lastLow = i;
    const long riseMs = lastLow < 0 ? 0 : firstFull - lastLow;
    ::testing::Test::RecordProperty("switch_off_rise_ms", std::to_string(riseMs));
    EXPECT_LE(riseMs, 8) << "the change to the direct chain took longer than the crossfade";
    // What the suppressor leaves of a steady tone may be silence; from the
    // full tone on there is no gap.
    EXPECT_LE(longestZeroRun(left, from + size_t(firstFull) * 48, left.size() - 4800), 4u)
        << "a gap after the switch";
}

}  // namespace sonvale::test
