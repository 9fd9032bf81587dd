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

TEST(NoiseTracker, SilenceDrivesEstimatesToZero) {
    auto t = std::make_unique<Tracker>();
    std::mt19937 rng(3);
    for (int hop = 0; hop < 100; ++hop)
        minstats_update(&t->s, noisy_spectrum(rng, 1e-3f).data(), 0);
    const auto zero = flat_spectrum(0.0f);
    for (int hop = 0; hop < 3000; ++hop) minstats_update(&t->s, zero.data(), 0);
    for (int k = 0; k < ORVO_BINS; ++k) {
        for (float v : {t->s.S[k], t->s.act_min[k], t->s.win_min[k], t->s.lambda[k], t->s.Q[k]})
            ASSERT_TRUE(std::isfinite(v)) << k;
        EXPECT_LT(t->s.S[k], 1e-12f);
        EXPECT_LT(t->s.act_min[k], 1e-12f);
        EXPECT_LT(t->s.win_min[k], 1e-12f);
        EXPECT_LT(t->s.lambda[k], 1e-12f);
    }
    EXPECT_TRUE(std::isfinite(t->s.snr));
}

TEST(NoiseTracker, UpwardStepReachesLambdaOnlyWithoutSpeech) {
    struct Case {
        int speech_flag;
        float low, high;  // bounds on lambda / new floor after the step
    };
    const float a = 1e-5f, step = 15.85f;  // +12 dB, beyond the +8 dB jump ratio
    for (const Case& c : {Case{0, 0.8f, 1.2f}, Case{1, 0.0f, 0.2f}}) {
        SCOPED_TRACE(c.speech_flag);
        auto t = std::make_unique<Tracker>();
        const auto before = flat_spectrum(a), after = flat_spectrum(a * step);
        for (int hop = 0; hop < 200; ++hop) minstats_update(&t->s, before.data(), c.speech_flag);
        EXPECT_NEAR(t->s.lambda[100], a, 0.01 * a);
        for (int hop = 0; hop < 250; ++hop) minstats_update(&t->s, after.data(), c.speech_flag);
        for (int k : {1, 50, 100, 249}) {
            const float r = t->s.lambda[k] / (a * step);
            EXPECT_GE(r, c.low) << k;
            EXPECT_LE(r, c.high) << k;
        }
    }
}

}  // namespace
