// The processing both loops share, fed in 10 ms slices as a loop feeds it:
// switching between the chains leaves no audio from the last time the
// suppressed chain ran, keeps the level up across the change, and skips no
// more than the suppressed chain's own delay.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "LoopTestSupport.h"
#include "audio/PcmPath.h"
#include "orvo_alg.h"

namespace sonvale {
namespace {

using Samples = std::vector<std::int16_t>;

struct Feed {
    PcmPath path;
    PcmQueue out;
    Samples output;

    // Feeds interleaved stereo in 10 ms slices; returns the output frame
    // count before the first slice.
    std::size_t run(const Samples& in, bool suppress, void* ns) {
        const std::size_t before = output.size() / 2;
        for (std::size_t at = 0; at + 960 <= in.size(); at += 960) {
            path.process(reinterpret_cast<const char*>(in.data() + at), 960 * 2, suppress, ns, out);
            std::uint32_t n = 0;
            const auto bytes = static_cast<std::uint32_t>(out.size());
            if (const char* p = out.peek(bytes, n)) {
                const auto* q = reinterpret_cast<const std::int16_t*>(p);
                output.insert(output.end(), q, q + bytes / 2);
                out.consume(bytes);
            }
        }
        return before;
    }
};

TEST(PcmPath, SwitchesLeaveNoStaleAudioAndSkipOnlyTheChainDelay) {
    void* ns = ns_alg_init();
    ASSERT_NE(ns, nullptr);
    Feed f;
    ASSERT_TRUE(f.path.configure(48000, 2, 48000));
    const test::Mixture mix = test::loadMixture(test::kSteadyMixture);
    const Samples silence(mix.noisy.size(), 0);

    // Suppressed, noisy speech in the right channel only: the suppressor gets
    // the mean of the channels, and both output channels carry the speech.
    f.run(test::interleave(silence, &mix.noisy), true, ns);
    ASSERT_TRUE(f.path.suppressing());
    const Samples left = test::channel(f.output, 2, 0);
    EXPECT_EQ(left, test::channel(f.output, 2, 1));
    double corr = 0;
    const Samples speech(mix.clean.begin() + test::kLeadIn, mix.clean.end());
    test::bestLag(left, speech, test::kLeadIn, 4000, speech.size(), &corr);
    EXPECT_GT(corr, 0.6) << "the right-only speech did not get through the suppressor";

    // Off, into digital silence and then a tone: the output is shorter than
    // the input by no more than the suppressed chain's delay (1023 samples at
    // 32000 Hz, a frame of 512 waiting, a converter block each side), and the
    // direct chain is bit-exact once the fade is over.
    const Samples pause(4800 * 2, 0);
    const std::size_t offAt = f.run(pause, false, ns);
    const Samples tone = test::tone(1300, 48000, 24000);
    f.run(test::interleave(tone), false, ns);
    EXPECT_FALSE(f.path.suppressing());
    const long skipped = long(4800 + 24000) - long(f.output.size() / 2 - offAt);
    EXPECT_GE(skipped, 0);
    EXPECT_LE(skipped, (1023 + 512) * 3 / 2 + 2 * 480);
    const Samples tail(tone.end() - 4800, tone.end());
    EXPECT_EQ(test::channel(Samples(f.output.end() - 9600, f.output.end()), 2, 1), tail);

    // Silence, then on again with silence coming in: what the suppressor held
    // from the speech must not be heard; every sample is zero.
    f.run(pause, false, ns);
    const std::size_t onAt = f.run(Samples(48000 * 2, 0), true, ns);
    EXPECT_TRUE(f.path.suppressing());
    const Samples after(f.output.begin() + long(2 * onAt), f.output.end());
    EXPECT_EQ(test::firstNonZero(after), -1) << "audio from before the switch was played";
    // The change repeats at most the chain's delay.
    const long repeated = long(after.size() / 2) - 48000;
    EXPECT_GE(repeated, 0);
    EXPECT_LE(repeated, (1023 + 512) * 3 / 2 + 2 * 480);
    EXPECT_EQ(f.path.droppedBytes(), 0u);
    ns_alg_destroy(ns);
}

}  // namespace
}  // namespace sonvale
