// Device path copying shared by both backends: a path is copied whole with
// its terminator or not at all.
#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

#include "platform/DriverLink.h"

namespace sonvale {
namespace {

struct PathCase {
    const char* name;
    std::size_t length;
    std::size_t capacity;
    bool ok;
};

void PrintTo(const PathCase& c, std::ostream* os) { *os << c.name; }

class CopyDevicePath : public ::testing::TestWithParam<PathCase> {};

TEST_P(CopyDevicePath, WholeOrNothing) {
    const PathCase& c = GetParam();
    std::wstring path;
    for (std::size_t i = 0; i < c.length; ++i) path.push_back(static_cast<wchar_t>(L'a' + i % 26));
    std::vector<wchar_t> dest(c.capacity + 16, L'#');
    EXPECT_EQ(copyDevicePath(path.c_str(), path.size(), dest.data(), c.capacity), c.ok);
    if (c.ok) {
        EXPECT_EQ(std::wstring(dest.data()), path);
        for (std::size_t i = c.length + 1; i < dest.size(); ++i) ASSERT_EQ(dest[i], L'#');
    } else {
        for (wchar_t u : dest) ASSERT_EQ(u, L'#');
    }
}

INSTANTIATE_TEST_SUITE_P(Sizes, CopyDevicePath,
                         ::testing::Values(PathCase{"Short", 40, kDriverPathCapacity, true},
                                           PathCase{"LongestThatFits", kDriverPathCapacity - 1,
                                                    kDriverPathCapacity, true},
                                           PathCase{"NoRoomForTerminator", kDriverPathCapacity,
                                                    kDriverPathCapacity, false},
                                           PathCase{"FarTooLong", 5000, kDriverPathCapacity, false},
                                           PathCase{"OneUnitInTwo", 1, 2, true},
                                           PathCase{"ZeroCapacity", 1, 0, false},
                                           PathCase{"EmptyPath", 0, kDriverPathCapacity, false}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(CopyDevicePathArgs, NullPointersRefused) {
    wchar_t dest[4] = {L'#', L'#', L'#', L'#'};
    EXPECT_FALSE(copyDevicePath(nullptr, 2, dest, 4));
    EXPECT_FALSE(copyDevicePath(L"ab", 2, nullptr, 4));
    EXPECT_EQ(dest[0], L'#');
}

}  // namespace
}  // namespace sonvale
