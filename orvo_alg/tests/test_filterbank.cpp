// Chain figures of the WOLA filter bank with spectra passed through unchanged.
#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <vector>

#include "filterbank.h"

namespace {

struct Chain {
    WolaAnalysis a{};
    WolaSynthesis s{};
    float spectra[ORVO_HOPS * ORVO_SPEC];
    Chain() {
        EXPECT_EQ(wola_analysis_init(&a), 0);
        EXPECT_EQ(wola_synthesis_init(&s), 0);
    }
    // Runs the whole signal (a multiple of 512 samples) through the chain.
    std::vector<float> run(const std::vector<float>& x) {
        std::vector<float> y(x.size());
        for (size_t i = 0; i < x.size(); i += ORVO_BLOCK) {
            wola_analysis_run(&a, &x[i], spectra);
            wola_synthesis_run(&s, spectra, &y[i]);
        }
        return y;
    }
};

std::vector<float> chain_run(const std::vector<float>& x) {
    auto c = std::make_unique<Chain>();
    return c->run(x);
}

TEST(FilterBank, ImpulseResponse) {
    struct Case {
        int t;
        double main, echo;
    };
    // Phase 128 has no echo; phase 0 the strongest.
    for (const Case& c : {Case{4096 + 128, 0.85503, 0.0}, Case{4096, 0.85841, 0.0602},
                          Case{4096 + 384, 0.85503, 0.0}, Case{4096 + 256, 0.85841, 0.0602}}) {
        SCOPED_TRACE(c.t);
        std::vector<float> x(8192, 0.0f);
        x[c.t] = 1.0f;
        auto y = chain_run(x);
        EXPECT_NEAR(y[c.t + 1023], c.main, 1e-3);
        EXPECT_NEAR(y[c.t + 511], c.echo, 1e-3);
        EXPECT_NEAR(y[c.t + 1535], c.echo, 1e-3);
        // Nothing anywhere else.
        for (size_t i = 0; i < y.size(); ++i) {
            if ((int)i == c.t + 1023 || (int)i == c.t + 511 || (int)i == c.t + 1535) continue;
            ASSERT_NEAR(y[i], 0.0, 1e-5) << "at " << i;
        }
    }
}

TEST(FilterBank, SineGainRipplesWithFrequency) {
    struct Case {
        double hz, gain;
    };
    for (const Case& c : {Case{1000.0, 0.909}, Case{1015.625, 0.857}, Case{1031.25, 0.805}}) {
        SCOPED_TRACE(c.hz);
        const int n = 512 * 64;
        std::vector<float> x(n);
        for (int i = 0; i < n; ++i) x[i] = 0.5f * (float)std::sin(2 * M_PI * c.hz * i / 32000.0);
        auto y = chain_run(x);
        // Least-squares gain against the delayed input, past the start-up.
        double xy = 0, xx = 0;
        for (int i = 4096; i < n; ++i) {
            xy += (double)y[i] * x[i - 1023];
            xx += (double)x[i - 1023] * x[i - 1023];
        }
        const double g = xy / xx;
        EXPECT_NEAR(g, c.gain, 1e-3);
        if (c.hz == 1000.0) {
            double dev = 0;
            for (int i = 4096; i < n; ++i) dev = std::max(dev, std::fabs(y[i] - g * x[i - 1023]));
            EXPECT_LT(dev, 0.035);
        }
    }
}

TEST(FilterBank, FirstCallReadsZerosAndTopSlotStaysZero) {
    auto c = std::make_unique<Chain>();
    std::vector<float> block(ORVO_BLOCK, 0.75f);
    wola_analysis_run(&c->a, block.data(), c->spectra);
    auto h = c->a.history;
    for (int i = 0; i < ORVO_WIN - 1; ++i) ASSERT_EQ(h[i], 0.0f) << i;
    for (int i = ORVO_WIN - 1; i < ORVO_IN_HIST - 1; ++i) ASSERT_EQ(h[i], 0.75f) << i;
    for (int call = 0; call < 5; ++call) {
        for (auto& v : block) v = -1.0f + 0.5f * call;
        wola_analysis_run(&c->a, block.data(), c->spectra);
        EXPECT_EQ(h[ORVO_IN_HIST - 1], 0.0f);
        EXPECT_EQ(c->spectra[1], 0.0f);
        EXPECT_EQ(c->spectra[ORVO_SPEC + 1], 0.0f);
    }
    // The first 1023 output samples carry no input.
    std::vector<float> x(2048, 0.5f);
    auto y = chain_run(x);
    for (int i = 0; i < 511; ++i) ASSERT_NEAR(y[i], 0.0f, 1e-6) << i;
    EXPECT_NE(y[1100], 0.0f);
}

}  // namespace
