// Vectorizable exponential and logarithms of the post-filter: accuracy
// against double precision over the ranges the gains use, and their ends.
#include <gtest/gtest.h>

#include <cmath>
#include <random>

extern "C" {
#include "vec_math.h"
}

namespace {

// Distance of got from the exact value in units of the last place of the
// correctly rounded result.
double ulps(float got, double exact) {
    const float r = static_cast<float>(exact);
    const double ulp = std::nextafter(std::fabs(r), INFINITY) - std::fabs(r);
    return std::fabs(static_cast<double>(got) - exact) / ulp;
}

TEST(VecMath, WithinAboutAnUlpOverTheGainRanges) {
    std::mt19937 rng(1);
    // e^-v for a-posteriori terms, and gh^pi * g_min^(1 - pi) in [-2.31, 0].
    std::uniform_real_distribution<float> ex(-87.0f, 0.5f), lg(0.05f, 4.0f);
    double worst_exp = 0, worst_log = 0, worst_log10 = 0;
    for (int i = 0; i < 200000; ++i) {
        const float x = ex(rng), y = lg(rng);
        worst_exp = std::fmax(worst_exp, ulps(vm_expf(x), std::exp(static_cast<double>(x))));
        worst_log = std::fmax(worst_log, ulps(vm_logf(y), std::log(static_cast<double>(y))));
        worst_log10 =
            std::fmax(worst_log10, ulps(vm_log10f(y), std::log10(static_cast<double>(y))));
    }
    EXPECT_LT(worst_exp, 1.5);
    EXPECT_LT(worst_log, 1.5);
    EXPECT_LT(worst_log10, 2.5);
}

TEST(VecMath, EndsOfTheRanges) {
    EXPECT_EQ(vm_expf(0.0f), 1.0f);
    EXPECT_EQ(vm_logf(1.0f), 0.0f);
    EXPECT_EQ(vm_log10f(1.0f), 0.0f);
    // Powers of two and their neighbours across the mantissa split.
    for (float x : {0.5f, 2.0f, 1024.0f, 1.41421f, 1.41422f, 0.70710f, 0.70711f}) {
        EXPECT_LT(ulps(vm_logf(x), std::log(static_cast<double>(x))), 1.5) << x;
    }
    // Deep negative arguments give 0 rather than garbage from the exponent
    // field; large ones stay finite up to 88.
    for (float x : {-87.4f, -104.0f, -1e4f, -INFINITY}) EXPECT_EQ(vm_expf(x), 0.0f) << x;
    EXPECT_GT(vm_expf(-87.0f), 0.0f);
    EXPECT_LT(ulps(vm_expf(88.0f), std::exp(88.0)), 1.5);
    EXPECT_TRUE(std::isfinite(vm_expf(88.0f)));
    // The smallest and largest normal inputs of the logarithm.
    EXPECT_LT(ulps(vm_logf(1.17549435e-38f), std::log(1.17549435e-38)), 1.5);
    EXPECT_LT(ulps(vm_logf(3.0e38f), std::log(3.0e38)), 1.5);
}

}  // namespace
