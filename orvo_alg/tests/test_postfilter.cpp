// OMLSA post-filter: silence, the fixed final-gain rules, the gain table's
// region ends, the G_s time constants and the low-band override.
#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <random>
#include <vector>

#include "orvo_pcm.h"
#include "orvo_tables.h"
#include "postfilter.h"

namespace {

struct Filter {
    OmlsaParams p{};
    OmlsaState s{};
    std::vector<float> P, S, L, Y, Z;
    Filter() : P(ORVO_BINS), S(ORVO_BINS), L(ORVO_BINS), Y(ORVO_SPEC), Z(ORVO_SPEC) {
        omlsa_params_init(&p);
        omlsa_init(&s, &p);
    }
    // One hop of a random spectrum whose power is `snr` times the noise.
    void hop(std::mt19937& rng, float noise, float snr) {
        std::normal_distribution<float> n(0.0f, 1.0f);
        for (int k = 0; k < ORVO_BINS; ++k) {
            Y[2 * k] = n(rng) * std::sqrt(noise * snr / 2);
            Y[2 * k + 1] = n(rng) * std::sqrt(noise * snr / 2);
            P[k] = S[k] = Y[2 * k] * Y[2 * k] + Y[2 * k + 1] * Y[2 * k + 1];
            L[k] = noise;
        }
        omlsa_process(&s, P.data(), S.data(), L.data(), Y.data(), Z.data());
    }
};

TEST(PostFilter, SilenceGivesSilence) {
    auto f = std::make_unique<Filter>();
    for (int hop = 0; hop < 50; ++hop) {
        omlsa_process(&f->s, f->P.data(), f->S.data(), f->L.data(), f->Y.data(), f->Z.data());
        for (int i = 0; i < ORVO_SPEC; ++i) ASSERT_EQ(f->Z[i], 0.0f);
    }
    for (int k = 0; k < ORVO_BINS; ++k) ASSERT_TRUE(std::isfinite(f->s.G_s[k]));
}

TEST(PostFilter, FinalGainRules) {
    // Whatever the SNR: bin 0 is scaled by 0.1, bins 250..256 are cleared and
    // bins 1..249 keep at least a tenth of their amplitude.
    for (float snr : {0.5f, 1.0f, 4.0f, 1000.0f}) {
        SCOPED_TRACE(snr);
        auto f = std::make_unique<Filter>();
        std::mt19937 rng(7);
        for (int hop = 0; hop < 80; ++hop) {
            f->hop(rng, 1e-6f, snr);
            ASSERT_FLOAT_EQ(f->Z[0], 0.1f * f->Y[0]);
            ASSERT_FLOAT_EQ(f->Z[1], 0.1f * f->Y[1]);
            for (int k = 250; k < ORVO_BINS; ++k) ASSERT_EQ(f->Z[2 * k], 0.0f);
            for (int k = 250; k < ORVO_BINS; ++k) ASSERT_EQ(f->Z[2 * k + 1], 0.0f);
            for (int k = 1; k < 250; ++k) {
                const float y = std::hypot(f->Y[2 * k], f->Y[2 * k + 1]);
                const float z = std::hypot(f->Z[2 * k], f->Z[2 * k + 1]);
                ASSERT_GE(z, 0.1f * y * (1 - 1e-5f)) << k;
                ASSERT_LE(z, y * (1 + 1e-5f)) << k;
            }
        }
    }
}

TEST(PostFilter, GainTableRegionEnds) {
    OmlsaParams p{};
    omlsa_params_init(&p);
    const float* t = expint_gain_table;
    struct Case {
        float v;
        int pos;
    };
    for (const Case& c :
         {Case{0.0f, 0}, Case{1e-7f, 0}, Case{1e-5f, 0}, Case{0.0049f, 98}, Case{0.00496f, 100},
          Case{0.0499f, 145}, Case{0.04996f, 148}, Case{0.4999f, 193}, Case{0.49996f, 196},
          Case{4.99996f, 241}, Case{7.0f, 241}, Case{1e30f, 241}, Case{NAN, 0}}) {
        EXPECT_EQ(omlsa_expint_gain(&p, c.v), t[c.pos]) << c.v;
    }
    struct Value {
        int pos;
        float want;
    };
    for (const Value& v :
         {Value{0, 236.953f}, Value{99, 10.6658f}, Value{100, 10.6658f}, Value{145, 3.43608f},
          Value{148, 3.43608f}, Value{193, 1.32301f}, Value{196, 1.32301f}, Value{241, 1.00057f}})
        EXPECT_NEAR(t[v.pos], v.want, 5e-6f * v.want) << v.pos;
    for (int pos : {146, 147, 194, 195, 242, 243}) EXPECT_EQ(t[pos], 0.0f);
    // Bands follow their lower edges at 62.5 Hz per bin and share boundaries.
    for (int m = 0; m < PF_BANDS; ++m) {
        EXPECT_EQ(bark_band_table[m].first_bin, (int)(bark_band_table[m].lower_hz / 62.5f));
        if (m > 0) {
            EXPECT_EQ(bark_band_table[m].first_bin, bark_band_table[m - 1].last_bin);
        }
    }
}

TEST(PostFilter, TableLookupForAllBinsMatchesSingleValues) {
    // The gains read the table for all bins at once; every region end, the
    // clamps and NaN must give what the single lookup gives.
    OmlsaParams p{};
    omlsa_params_init(&p);
    std::vector<float> v;
    for (float c : {0.0f, 1e-7f, 1e-5f, 0.0049f, 0.00496f, 0.0499f, 0.04996f, 0.4999f, 0.49996f,
                    4.99996f, 7.0f, 1e30f, NAN, -1.0f, -INFINITY, INFINITY})
        v.push_back(c);
    std::mt19937 rng(13);
    std::uniform_real_distribution<float> u(-5.0f, 1.0f);
    while (v.size() < ORVO_BINS) v.push_back(std::pow(10.0f, u(rng)));
    std::vector<float> out(ORVO_BINS);
    omlsa_expint_gains(&p, v.data(), out.data());
    for (int k = 0; k < ORVO_BINS; ++k) ASSERT_EQ(out[k], omlsa_expint_gain(&p, v[k])) << v[k];
}

TEST(PostFilter, ReverberationStartsTwelveHopsAfterTheSignal) {
    // The late reverberation estimate correlates the spectrum with the ones
    // 12 to 14 hops before: with a steady spectrum from the first hop on it
    // stays zero for hops 0..11 and rises on hop 12.
    auto f = std::make_unique<Filter>();
    std::mt19937 rng(17);
    std::normal_distribution<float> n(0.0f, 1e-2f);
    for (int k = 0; k < ORVO_BINS; ++k) {
        f->Y[2 * k] = n(rng);
        f->Y[2 * k + 1] = k ? n(rng) : 0.0f;
        f->P[k] = f->S[k] = f->Y[2 * k] * f->Y[2 * k] + f->Y[2 * k + 1] * f->Y[2 * k + 1];
        f->L[k] = 1e-6f;
    }
    for (int hop = 0; hop <= 14; ++hop) {
        omlsa_process(&f->s, f->P.data(), f->S.data(), f->L.data(), f->Y.data(), f->Z.data());
        int positive = 0;
        for (int k = 0; k < ORVO_BINS; ++k) positive += f->s.lambda_rev[k] > 0.0f;
        if (hop < 12) {
            ASSERT_EQ(positive, 0) << hop;
        } else {
            ASSERT_GT(positive, 200) << hop;
        }
    }
}

TEST(PostFilter, SmoothedGainTimeConstants) {
    auto f = std::make_unique<Filter>();
    std::mt19937 rng(11);
    for (int hop = 0; hop < 600; ++hop) f->hop(rng, 1e-6f, 3000.0f);
    const std::vector<float> high(f->s.G_s, f->s.G_s + ORVO_BINS);
    // From a clear signal to noise alone: the gain collapses.
    std::vector<std::vector<float>> track;
    for (int hop = 0; hop < 600; ++hop) {
        f->hop(rng, 1e-6f, 1.0f);
        track.emplace_back(f->s.G_s, f->s.G_s + ORVO_BINS);
    }
    for (int k : {0, 1, 2, 3, 10, 100}) {
        SCOPED_TRACE(k);
        const float end = track.back()[k];
        ASSERT_GT(high[k] - end, 0.3f);
        auto moved = [&](int hop) { return (high[k] - track[hop - 1][k]) / (high[k] - end); };
        if (k < 3) {
            // About 100 hops: 1 - 0.99^10 ~ 10 %, 1 - 0.99^100 ~ 63 %.
            EXPECT_LT(moved(10), 0.2f);
            EXPECT_GT(moved(100), 0.4f);
            EXPECT_LT(moved(100), 0.85f);
        } else {
            EXPECT_GT(moved(10), 0.8f);
        }
    }
}

TEST(PostFilter, LowBandOverrideWhenSpeechIsAbsent) {
    auto f = std::make_unique<Filter>();
    std::mt19937 rng(5);
    for (int hop = 0; hop < 200; ++hop) f->hop(rng, 1e-6f, 1.0f);
    ASSERT_LT(f->s.ratio_smoothed, 0.1778f);
    EXPECT_EQ(f->s.speech_flag, 0);
    EXPECT_EQ(f->p.override_keep, 0.0f);
    // Every gain is replaced by the low-band mean.
    for (int k = 1; k < ORVO_BINS; ++k) ASSERT_EQ(f->s.G_b[k], f->s.G_b[0]) << k;
    EXPECT_LT(f->s.G_b[0], 0.1778f);
}

TEST(PostFilter, PresenceFromClampedZeta) {
    // zeta is clamped to [1, 10] before it is divided by 10: any local
    // presence needs zeta above 1.259, full presence zeta of 3.162.
    auto f = std::make_unique<Filter>();
    std::mt19937 rng(9);
    for (int hop = 0; hop < 100; ++hop) {
        f->hop(rng, 1e-6f, hop % 7 == 0 ? 50.0f : 1.5f);
        for (int k = 0; k < ORVO_BINS; ++k) {
            const float z = f->s.zeta[k], pl = f->s.P_local[k];
            ASSERT_GE(z, 1.0f);
            ASSERT_LE(z, 10.0f);
            if (z <= 1.259f) {
                ASSERT_EQ(pl, 0.0f);
            }
            if (z >= 3.162f) {
                ASSERT_EQ(pl, 1.0f);
            }
            ASSERT_GE(pl, 0.0f);
            ASSERT_LE(pl, 1.0f);
        }
    }
}

TEST(Conversion, TruncatesAndSaturates) {
    struct Case {
        float v;
        int16_t want;
    };
    for (const Case& c : {Case{0.0f, 0}, Case{1.0f, 32767}, Case{1.5f, 32767}, Case{-1.0f, -32768},
                          Case{-3.0f, -32768}, Case{0.99999f, 32767}, Case{0.5f, 16384},
                          Case{-0.5f / 32768, 0}, Case{1.9f / 32768, 1}, Case{-1.9f / 32768, -1},
                          Case{INFINITY, 32767}, Case{-INFINITY, -32768}, Case{NAN, 0}})
        EXPECT_EQ(orvo_to_pcm(c.v), c.want) << c.v;
}

}  // namespace
