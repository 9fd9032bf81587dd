// The library's contract as orvo_alg relies on it: modes, argument checks,
// every entry of both mask arrays written, finite output for any input,
// independent instances.
#include "vardix.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <vector>

namespace {

constexpr int kBins = VARDIX_BINS;

struct Spectrum {
    std::vector<float> re = std::vector<float>(kBins), im = std::vector<float>(kBins);
};

// A white-noise spectrum of the given power per bin; bin 0 is real, as the
// filter bank delivers it.
Spectrum noiseSpectrum(std::mt19937& rng, float power) {
    std::normal_distribution<float> n(0.0f, std::sqrt(power / 2));
    Spectrum s;
    for (int k = 0; k < kBins; ++k) {
        s.re[k] = n(rng);
        s.im[k] = k == 0 ? 0.0f : n(rng);
    }
    return s;
}

struct Mask {
    std::vector<float> re = std::vector<float>(kBins, std::numeric_limits<float>::quiet_NaN());
    std::vector<float> im = std::vector<float>(kBins, std::numeric_limits<float>::quiet_NaN());
};

Mask run(void* h, const Spectrum& s) {
    Mask m;
    EXPECT_EQ(vardix_processf(h, s.re.data(), s.im.data(), m.re.data(), m.im.data()), 0);
    return m;
}

TEST(Vardix, ModesAndArguments) {
    EXPECT_EQ(vardix_init(2), nullptr);
    EXPECT_EQ(vardix_init(-1), nullptr);
    vardix_destroy(nullptr);

    void* h = vardix_init(VARDIX_MODE_DEFAULT);
    ASSERT_NE(h, nullptr);
    Spectrum s;
    Mask m;
    EXPECT_EQ(vardix_processf(nullptr, s.re.data(), s.im.data(), m.re.data(), m.im.data()), -1);
    EXPECT_EQ(vardix_processf(h, nullptr, s.im.data(), m.re.data(), m.im.data()), -1);
    EXPECT_EQ(vardix_processf(h, s.re.data(), s.im.data(), m.re.data(), nullptr), -1);
    EXPECT_TRUE(std::isnan(m.re[0]));  // nothing written on a refused call
    vardix_destroy(h);
}

TEST(Vardix, UnityModeIsMagnitudeOneEverywhere) {
    void* h = vardix_init(VARDIX_MODE_UNITY);
    ASSERT_NE(h, nullptr);
    std::mt19937 rng(1);
    for (int i = 0; i < 50; ++i) {
        Mask m = run(h, noiseSpectrum(rng, 1e-3f));
        for (int k = 0; k < kBins; ++k) {
            ASSERT_EQ(m.re[k], 1.0f);
            ASSERT_EQ(m.im[k], 0.0f);
        }
    }
    vardix_destroy(h);
}

// Every entry written and finite, the magnitude bounded (the mask may lift
// bins by up to 20 dB where it undoes orvo_alg's post-filter), for silence,
// tiny, ordinary and full-scale spectra in any order.
TEST(Vardix, DefaultModeWritesFiniteBoundedMaskForAnyInput) {
    void* h = vardix_init(VARDIX_MODE_DEFAULT);
    ASSERT_NE(h, nullptr);
    std::mt19937 rng(2);
    const float powers[] = {0.0f, 1e-30f, 1e-12f, 1e-4f, 1.0f, 300.0f, 0.0f, 1e-6f};
    for (float p : powers) {
        for (int i = 0; i < 40; ++i) {
            Mask m = run(h, noiseSpectrum(rng, p));
            for (int k = 0; k < kBins; ++k) {
                ASSERT_TRUE(std::isfinite(m.re[k]) && std::isfinite(m.im[k])) << "bin " << k;
                float mag = std::hypot(m.re[k], m.im[k]);
                ASSERT_GE(mag, 0.0f);
                ASSERT_LE(mag, 10.0f);
            }
        }
    }
    vardix_destroy(h);
}

// State lives behind the handle: interleaving two instances changes nothing.
TEST(Vardix, InstancesAreIndependent) {
    std::mt19937 rng(3);
    std::vector<Spectrum> a, b;
    for (int i = 0; i < 200; ++i) {
        a.push_back(noiseSpectrum(rng, i < 100 ? 1e-4f : 1e-2f));
        b.push_back(noiseSpectrum(rng, 1e-6f));
    }
    void* solo = vardix_init(VARDIX_MODE_DEFAULT);
    std::vector<Mask> ref;
    for (auto& s : a) ref.push_back(run(solo, s));
    vardix_destroy(solo);

    void* h1 = vardix_init(VARDIX_MODE_DEFAULT);
    void* h2 = vardix_init(VARDIX_MODE_DEFAULT);
    for (size_t i = 0; i < a.size(); ++i) {
        Mask m = run(h1, a[i]);
        run(h2, b[i]);
        for (int k = 0; k < kBins; ++k) ASSERT_EQ(m.re[k], ref[i].re[k]) << i << " " << k;
    }
    vardix_destroy(h1);
    vardix_destroy(h2);
}

}  // namespace
