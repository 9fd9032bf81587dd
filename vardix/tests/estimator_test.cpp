// Behaviour of the default estimator on synthetic spectra: the amplitude
// factor against a numerical exponential integral, suppression of steady
// noise (also after the noise floor rises), and pass-through of strong
// harmonic (voiced-speech-like) syllables. Gains are the ones meant to reach
// the output, i.e. with orvo_alg's post-filter already accounted for.
#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

extern "C" {
#include "estimator.h"
}

namespace {

// E1(v) = integral from v to infinity of exp(-t)/t dt, by Simpson's rule on
// t = v·exp(u), which makes the integrand smooth: integral of exp(-v·e^u) du.
double e1Reference(double v) {
    const int n = 20000;
    const double hi = std::log(60.0 / v + 1.0) + 1.0, h = hi / n;
    double sum = 0;
    for (int i = 0; i <= n; ++i) {
        double f = std::exp(-v * std::exp(i * h));
        sum += f * (i == 0 || i == n ? 1 : (i % 2 ? 4 : 2));
    }
    return sum * h / 3;
}

TEST(Estimator, LsaFactorMatchesExponentialIntegral) {
    for (double v : {1e-5, 1e-3, 0.05, 0.3, 0.99, 1.0, 1.7, 4.0, 12.0}) {
        double want = std::exp(0.5 * e1Reference(v));
        EXPECT_NEAR(vx_lsa_factor(static_cast<float>(v)) / want, 1.0, 2e-4) << "v = " << v;
    }
    // Large v: the factor tends to 1 (high SNR leaves the Wiener part alone).
    EXPECT_NEAR(vx_lsa_factor(50.0f), 1.0f, 1e-6f);
}

struct Feeder {
    VxEstimator est;
    std::mt19937 rng{7};
    float re[VX_BINS], im[VX_BINS], mask[VX_BINS];
    Feeder() { vx_estimator_init(&est); }

    // One spectrum of white noise of power `noise` per bin, plus a harmonic
    // comb every `step` bins from bin `step`, of power `tone` at the first
    // harmonic and falling 6 dB per octave, as voiced speech does.
    void hop(float noise, float tone = 0.0f, int step = 4) {
        std::normal_distribution<float> n(0.0f, std::sqrt(noise / 2));
        for (int k = 0; k < VX_BINS; ++k) {
            re[k] = n(rng);
            im[k] = k ? n(rng) : 0.0f;
            if (tone > 0 && k >= step && k < 100 && k % step == 0)
                re[k] += std::sqrt(tone * step / k);
        }
        vx_estimator_run(&est, re, im, mask);
    }
    // Mean over bins lo..hi-1 of the gain meant to reach the output.
    float meanGain(int lo, int hi) const {
        double s = 0;
        for (int k = lo; k < hi; ++k) s += est.out_gain[k];
        return static_cast<float>(s / (hi - lo));
    }
};

TEST(Estimator, SuppressesSteadyNoiseAndFollowsARisingFloor) {
    Feeder f;
    double sum = 0;
    for (int i = 0; i < 250; ++i) {  // 2 s
        f.hop(1e-6f);
        if (i >= 125) sum += f.meanGain(1, 250);
    }
    EXPECT_LT(sum / 125, 0.3);
    for (int i = 0; i < 250; ++i) f.hop(1e-5f);  // 10 dB more noise, 2 s
    sum = 0;
    for (int i = 0; i < 125; ++i) {
        f.hop(1e-5f);
        sum += f.meanGain(1, 250);
    }
    EXPECT_LT(sum / 125, 0.3);
}

// Voiced-speech-like input: syllables of 200 ms with 120 ms gaps, each a
// harmonic series on another pitch, 40 dB above the noise floor at the
// first harmonic.
TEST(Estimator, PassesSyllablesOfHarmonicsOverNoise) {
    Feeder f;
    for (int i = 0; i < 250; ++i) f.hop(1e-6f);
    double on = 0, gap = 0;
    int on_n = 0, gap_n = 0;
    for (int syl = 0; syl < 8; ++syl) {
        const int step = 3 + syl % 3;
        for (int i = 0; i < 25; ++i) {
            f.hop(1e-6f, 1e-2f, step);
            if (i < 5) continue;
            for (int k = 2 * step; k < 100; k += step) {
                on += f.est.out_gain[k];
                ++on_n;
            }
        }
        for (int i = 0; i < 15; ++i) {
            f.hop(1e-6f);
            if (i < 8) continue;
            gap += f.meanGain(1, 250);
            ++gap_n;
        }
    }
    EXPECT_GT(on / on_n, 0.6);
    EXPECT_LT(gap / gap_n, 0.3);  // and the noise in the gaps is still cut
}

}  // namespace
