// Minimum-statistics noise tracker: start-up, boundary hops, silence and
// upward jumps of the noise floor.
#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <random>
#include <vector>

#include "noise_tracker.h"

namespace {

struct Tracker {
    MinStatsParams p{};
    MinStatsState s{};
    Tracker() {
        minstats_params_init(&p);
        minstats_init(&s, &p);
    }
};

// A spectrum whose power is `power` times a random factor in every bin.
std::vector<float> noisy_spectrum(std::mt19937& rng, float power) {
    std::normal_distribution<float> n(0.0f, 1.0f);
    std::vector<float> x(ORVO_SPEC);
    for (auto& v : x) v = n(rng) * std::sqrt(power / 2.0f);
    return x;
}

std::vector<float> flat_spectrum(float power) {
    std::vector<float> x(ORVO_SPEC, 0.0f);
    for (int k = 0; k < ORVO_BINS; ++k) x[2 * k] = std::sqrt(power);
    return x;
}

TEST(NoiseTracker, StartupFollowsPower) {
    auto t = std::make_unique<Tracker>();
    std::mt19937 rng(1);
    std::vector<double> ref(ORVO_BINS);
    for (int hop = 1; hop <= 30; ++hop) {
        auto x = noisy_spectrum(rng, 1e-4f);
        minstats_update(&t->s, x.data(), 1);
        for (int k = 0; k < ORVO_BINS; ++k) {
            const double P = (double)x[2 * k] * x[2 * k] + (double)x[2 * k + 1] * x[2 * k + 1];
            ref[k] = hop <= 2 ? P : 0.95 * ref[k] + 0.05 * P;
            if (hop <= 2) {
                ASSERT_EQ(t->s.lambda[k], t->s.P[k]) << hop;
            }
            ASSERT_NEAR(t->s.lambda[k], ref[k], 1e-6 * ref[k] + 1e-12) << "hop " << hop;
        }
        EXPECT_EQ(t->s.started, hop == 30 ? 1 : 0);
    }
}

TEST(NoiseTracker, BoundaryHopsLeaveLambdaAndOthersFollowPower) {
    auto t = std::make_unique<Tracker>();
    std::mt19937 rng(2);
    for (int hop = 1; hop <= 29; ++hop)
        minstats_update(&t->s, noisy_spectrum(rng, 1e-4f).data(), 0);
    for (int hop = 30; hop <= 95; ++hop) {
        std::vector<float> before(t->s.lambda, t->s.lambda + ORVO_BINS);
        // Hop 30 ends start-up and is the first boundary; every tenth follows.
        const bool boundary = hop % 10 == 0;
        minstats_update(&t->s, noisy_spectrum(rng, 1e-4f).data(), 0);
        if (hop == 30) continue;  // start-up smoothing ran on this hop
        SCOPED_TRACE(hop);
        if (boundary) {
            for (int k = 0; k < ORVO_BINS; ++k) ASSERT_EQ(t->s.lambda[k], before[k]);
        } else {
            ASSERT_EQ(t->s.lambda[0], t->s.P[0]);
            for (int k = 250; k < ORVO_BINS; ++k) ASSERT_EQ(t->s.lambda[k], t->s.P[k]);
            int changed = 0;
            for (int k = 1; k < 250; ++k) changed += t->s.lambda[k] != before[k];
            EXPECT_GT(changed, 200);
        }
    }
}

// Silence (exact zeros, or a dithered last bit far below any microphone's
// noise floor) says nothing about the noise: a stream that opens with it
// starts up at its first real audio, and silence later leaves every estimate
// where it was, so the noise that comes back meets the estimate it left.
TEST(NoiseTracker, SilenceLeavesTheEstimatesAlone) {
    auto t = std::make_unique<Tracker>();
    std::mt19937 rng(3);
    const auto zero = flat_spectrum(0.0f), dither = flat_spectrum(1e-13f);
    for (int hop = 0; hop < 500; ++hop) minstats_update(&t->s, (hop % 2 ? dither : zero).data(), 1);
    EXPECT_EQ(t->s.startup_count, 0);
    EXPECT_EQ(t->s.started, 0);
    EXPECT_FLOAT_EQ(t->s.P[10], 1e-13f);
    for (int hop = 0; hop < 100; ++hop)
        minstats_update(&t->s, noisy_spectrum(rng, 1e-3f).data(), 0);
    ASSERT_EQ(t->s.started, 1);
    double mean = 0;
    for (int k = 1; k < 250; ++k) mean += t->s.lambda[k] / 249.0;
    EXPECT_GT(mean, 0.5e-3);
    EXPECT_LT(mean, 2e-3);

    const auto copy = [](const float* a) { return std::vector<float>(a, a + ORVO_BINS); };
    const auto lambda = copy(t->s.lambda), S = copy(t->s.S), act = copy(t->s.act_min),
               win = copy(t->s.win_min);
    const int32_t v = t->p.v, u = t->p.u;
    for (int hop = 0; hop < 3000; ++hop)
        minstats_update(&t->s, (hop % 7 ? dither : zero).data(), 1);
    EXPECT_EQ(copy(t->s.lambda), lambda);
    EXPECT_EQ(copy(t->s.S), S);
    EXPECT_EQ(copy(t->s.act_min), act);
    EXPECT_EQ(copy(t->s.win_min), win);
    EXPECT_EQ(t->p.v, v);
    EXPECT_EQ(t->p.u, u);
    EXPECT_FLOAT_EQ(t->s.P[3], 1e-13f);  // the post-filter still sees this hop's power
}

// A rise of the noise floor beyond the +8 dB jump ratio reaches lambda
// through the 0.95 recursion while the post-filter sees no speech. While it
// sees speech the estimate holds (0.9999) for the first second of the jump,
// then takes the new floor too: an estimate far below the noise keeps the
// post-filter's speech flag set, which must not keep the estimate down.
TEST(NoiseTracker, UpwardStepReachesLambdaWithSpeechOnlyAfterTheRelease) {
    struct Case {
        int speech_flag, hops;
        float low, high;  // bounds on lambda / new floor after `hops`
    };
    const float a = 1e-5f, step = 15.85f;  // +12 dB
    for (const Case& c :
         {Case{0, 250, 0.8f, 1.2f}, Case{1, 150, 0.0f, 0.2f}, Case{1, 400, 0.8f, 1.2f}}) {
        SCOPED_TRACE(testing::Message() << "speech " << c.speech_flag << ", " << c.hops << " hops");
        auto t = std::make_unique<Tracker>();
        const auto before = flat_spectrum(a), after = flat_spectrum(a * step);
        for (int hop = 0; hop < 200; ++hop) minstats_update(&t->s, before.data(), c.speech_flag);
        EXPECT_NEAR(t->s.lambda[100], a, 0.01 * a);
        for (int hop = 0; hop < c.hops; ++hop) minstats_update(&t->s, after.data(), c.speech_flag);
        for (int k : {1, 50, 100, 249}) {
            const float r = t->s.lambda[k] / (a * step);
            EXPECT_GE(r, c.low) << k;
            EXPECT_LE(r, c.high) << k;
        }
    }
}

}  // namespace
