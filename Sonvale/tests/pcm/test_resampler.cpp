// PcmResampler driven the way the loops drive it: whole 10 ms input blocks
// only, output into a 4096-sample scratch area, stages chained.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <ostream>
#include <string>
#include <vector>

#include "pcm/PcmResampler.h"

namespace sonvale {
namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr double kAmplitude = 16000.0;
constexpr double kToneHz = 1000.0;

std::vector<std::int16_t> sine(int rate, int samples) {
    std::vector<std::int16_t> s(samples);
    for (int i = 0; i < samples; ++i) {
        s[i] = static_cast<std::int16_t>(
            std::lround(kAmplitude * std::sin(2 * kPi * kToneHz * i / rate)));
    }
    return s;
}

// Runs `input` through one converter in whole blocks; records each block's
// output count in `counts`.
std::vector<std::int16_t> convert(PcmResampler& r, const std::vector<std::int16_t>& input,
                                  std::vector<int>* counts = nullptr) {
    std::vector<std::int16_t> out;
    std::vector<std::int16_t> scratch(4096);
    const std::size_t block = static_cast<std::size_t>(r.inBlockSamples());
    for (std::size_t at = 0; block > 0 && at + block <= input.size(); at += block) {
        const int n = r.process(input.data() + at, scratch.data());
        EXPECT_GE(n, 0);
        EXPECT_LE(n, r.outBlockSamples());
        if (counts != nullptr) counts->push_back(n);
        out.insert(out.end(), scratch.begin(), scratch.begin() + n);
    }
    return out;
}

double rms(const std::vector<std::int16_t>& s, std::size_t from, std::size_t to) {
    double sum = 0;
    for (std::size_t i = from; i < to; ++i) sum += double(s[i]) * s[i];
    return std::sqrt(sum / double(to - from));
}

// Frequency from interpolated rising zero crossings.
double frequency(const std::vector<std::int16_t>& s, std::size_t from, std::size_t to, int rate) {
    double first = -1, last = -1;
    int crossings = 0;
    for (std::size_t i = from; i + 1 < to; ++i) {
        if (s[i] < 0 && s[i + 1] >= 0) {
            const double t = double(i) + double(-s[i]) / double(s[i + 1] - s[i]);
            if (first < 0) first = t;
            last = t;
            ++crossings;
        }
    }
    if (crossings < 2) return 0;
    return (crossings - 1) * rate / (last - first);
}

int maxStep(const std::vector<std::int16_t>& s, std::size_t from, std::size_t to) {
    int worst = 0;
    for (std::size_t i = from; i + 1 < to; ++i) worst = std::max(worst, std::abs(s[i + 1] - s[i]));
    return worst;
}

struct BlockCase {
    int inRate, outRate;
    int inBlock, outBlock;
};

void PrintTo(const BlockCase& c, std::ostream* os) { *os << c.inRate << "->" << c.outRate; }

class ResamplerBlocks : public ::testing::TestWithParam<BlockCase> {};

TEST_P(ResamplerBlocks, BlockSizesAndSteadyOutput) {
    const BlockCase c = GetParam();
    PcmResampler r(1, c.inRate, c.outRate);
    ASSERT_TRUE(r.valid());
    EXPECT_EQ(r.inBlockSamples(), c.inBlock);
    EXPECT_EQ(r.outBlockSamples(), c.outBlock);

    constexpr int kBlocks = 100;
    std::vector<int> counts;
    const auto out = convert(r, sine(c.inRate, c.inBlock * kBlocks), &counts);
    ASSERT_EQ(counts.size(), std::size_t(kBlocks));
    // After the first blocks (filter delay removed by skip_zeros) every block
    // gives 10 ms of output, give or take the fractional sample.
    const int perBlock = c.outRate / 100;
    for (int b = 2; b < kBlocks; ++b) {
        EXPECT_NEAR(counts[b], perBlock, 1) << "block " << b;
    }
    const double expected = double(c.inBlock) * kBlocks * c.outRate / c.inRate;
    EXPECT_LE(double(out.size()), expected + 1);
    EXPECT_GE(double(out.size()), expected - 2 * perBlock);
}

INSTANTIATE_TEST_SUITE_P(
    Rates, ResamplerBlocks,
    ::testing::Values(BlockCase{48000, 32000, 480, 321}, BlockCase{32000, 48000, 320, 481},
                      BlockCase{44100, 48000, 441, 481}, BlockCase{48000, 44100, 480, 442}),
    [](const auto& info) {
        return std::to_string(info.param.inRate) + "to" + std::to_string(info.param.outRate);
    });

struct ChainCase {
    std::string name;
    std::vector<int> rates;  // first is the source rate
};

void PrintTo(const ChainCase& c, std::ostream* os) { *os << c.name; }

class ResamplerChain : public ::testing::TestWithParam<ChainCase> {};

// A 1 kHz tone through the chain keeps its frequency and level, and no stage
// adds a seam between blocks: the largest sample-to-sample step stays that of
// the tone itself.
TEST_P(ResamplerChain, KeepsToneWithoutSeams) {
    const auto& rates = GetParam().rates;
    std::vector<std::int16_t> signal = sine(rates[0], rates[0] * 2);  // 2 s
    const double levelIn = rms(signal, 0, signal.size());
    for (std::size_t k = 1; k < rates.size(); ++k) {
        SCOPED_TRACE(std::to_string(rates[k - 1]) + " -> " + std::to_string(rates[k]));
        PcmResampler r(1, rates[k - 1], rates[k]);
        ASSERT_TRUE(r.valid());
        signal = convert(r, signal);
        const int rate = rates[k];
        ASSERT_GT(signal.size(), std::size_t(rate));
        // Judge past the start-up transient (50 ms) and before the tail.
        const std::size_t from = rate / 20, to = signal.size() - rate / 100;
        EXPECT_NEAR(frequency(signal, from, to, rate), kToneHz, 0.5);
        EXPECT_NEAR(20 * std::log10(rms(signal, from, to) / levelIn), 0.0, 0.5);
        const double toneStep = 2 * kAmplitude * std::sin(kPi * kToneHz / rate);
        EXPECT_LE(maxStep(signal, from, to), toneStep * 1.03 + 8);
    }
}

INSTANTIATE_TEST_SUITE_P(Chains, ResamplerChain,
                         ::testing::Values(ChainCase{"RoundTrip48k32k48k", {48000, 32000, 48000}},
                                           ChainCase{"From44k1", {44100, 48000, 32000}}),
                         [](const auto& info) { return info.param.name; });

struct InvalidCase {
    int channels, inRate, outRate;
};

void PrintTo(const InvalidCase& c, std::ostream* os) {
    *os << c.channels << " ch " << c.inRate << "->" << c.outRate;
}

class ResamplerInvalid : public ::testing::TestWithParam<InvalidCase> {};

// Rates the converter cannot use give no output, never a crash or a read past
// the input.
TEST_P(ResamplerInvalid, ProducesNothing) {
    const InvalidCase c = GetParam();
    PcmResampler r(c.channels, c.inRate, c.outRate);
    std::vector<std::int16_t> in(8, 100), out(4096, 0);
    EXPECT_EQ(r.process(in.data(), out.data()), 0);
    EXPECT_FALSE(r.valid() && r.inBlockSamples() > 0);
}

INSTANTIATE_TEST_SUITE_P(Rates, ResamplerInvalid,
                         ::testing::Values(InvalidCase{1, 0, 48000}, InvalidCase{1, 48000, 0},
                                           InvalidCase{1, -48000, 32000},
                                           InvalidCase{0, 48000, 32000}, InvalidCase{1, 50, 48000}),
                         [](const auto& info) { return "Case" + std::to_string(info.index); });

}  // namespace
}  // namespace sonvale
