#include <gtest/gtest.h>

#include <cstring>
#include <ostream>
#include <string>
#include <vector>

#include "pcm/ConvertChannels.h"

namespace sonvale {
namespace {

struct ConvertCase {
    std::string name;
    int from;
    int to;
    std::vector<std::int16_t> input;
    std::uint32_t extraBytes;  // trailing bytes beyond the samples (a partial sample/frame)
    bool ok;
    std::vector<std::int16_t> output;
};

std::vector<ConvertCase> convertCases() {
    return {
        {"MonoToStereoDuplicates", 1, 2, {1, 2}, 0, true, {1, 1, 2, 2}},
        {"StereoToMonoKeepsLeft", 2, 1, {1, 9, 2, 9}, 0, true, {1, 2}},
        {"ExtremesBitExact",
         1,
         2,
         {-32768, 32767, -1},
         0,
         true,
         {-32768, -32768, 32767, 32767, -1, -1}},
        {"StereoPartialFrameDropped", 2, 1, {5, 6, 7}, 0, true, {5}},
        {"StereoOddByteDropped", 2, 1, {5, 6}, 1, true, {5}},
        {"MonoOddByteDropped", 1, 2, {3}, 1, true, {3, 3}},
        {"MonoSingleByte", 1, 2, {}, 1, true, {}},
        {"EmptyInput", 2, 1, {}, 0, true, {}},
        {"SameCountRefused", 1, 1, {1, 2}, 0, false, {}},
        {"StereoToStereoRefused", 2, 2, {1, 2}, 0, false, {}},
        {"ZeroChannelsRefused", 0, 2, {1, 2}, 0, false, {}},
        {"SixChannelsRefused", 6, 2, {1, 2}, 0, false, {}},
    };
}

void PrintTo(const ConvertCase& c, std::ostream* os) { *os << c.name; }

class ConvertTable : public ::testing::TestWithParam<ConvertCase> {};

TEST_P(ConvertTable, Converts) {
    const ConvertCase& c = GetParam();
    std::vector<char> bytes(c.input.size() * 2 + c.extraBytes, '\x7F');
    if (!c.input.empty()) std::memcpy(bytes.data(), c.input.data(), c.input.size() * 2);

    std::unique_ptr<char[]> out(new char[1]);  // replaced or released by the call
    std::uint32_t outBytes = 999;
    EXPECT_EQ(convertChannels(c.from, c.to, bytes.data(), static_cast<std::uint32_t>(bytes.size()),
                              out, outBytes),
              c.ok);
    ASSERT_EQ(outBytes, c.output.size() * 2);
    if (outBytes == 0) {
        EXPECT_EQ(out, nullptr);
        return;
    }
    std::vector<std::int16_t> got(c.output.size());
    std::memcpy(got.data(), out.get(), outBytes);
    EXPECT_EQ(got, c.output);
}

INSTANTIATE_TEST_SUITE_P(Cases, ConvertTable, ::testing::ValuesIn(convertCases()),
                         [](const auto& info) { return info.param.name; });

TEST(ConvertChannels, NullSourceWithBytesIsRefused) {
    std::unique_ptr<char[]> out;
    std::uint32_t outBytes = 7;
    EXPECT_FALSE(convertChannels(1, 2, nullptr, 4, out, outBytes));
    EXPECT_EQ(outBytes, 0u);
    EXPECT_EQ(out, nullptr);
}

// A mono-to-stereo result that would not fit a 32-bit count is refused before
// anything is read or allocated.
TEST(ConvertChannels, ResultTooLargeIsRefused) {
    const char one = 0;
    std::unique_ptr<char[]> out;
    std::uint32_t outBytes = 7;
    EXPECT_FALSE(convertChannels(1, 2, &one, 0x80000000u, out, outBytes));
    EXPECT_EQ(outBytes, 0u);
}

}  // namespace
}  // namespace sonvale
