// Windows driver link on a machine without the companion driver (CI runs it
// under wine): the lookup fails cleanly and an unopened or failed device
// refuses every request.
// test_driverlink_path.cpp runs here too.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/DriverLink.h"

namespace sonvale {
namespace {

TEST(DriverLinkWindows, NoDriverInstalled) {
    std::vector<wchar_t> path(kDriverPathCapacity + 4, L'#');
    ::testing::internal::CaptureStdout();
    const bool found = findDriverInterface(path.data(), 0);
    const std::string out = ::testing::internal::GetCapturedStdout();
    EXPECT_FALSE(found);
    // Without the driver SetupAPI still builds a device set, an empty one, so
    // the lookup fails silently; the message is only for a set that cannot
    // be built at all.
    EXPECT_EQ(out, "");
    for (wchar_t u : path) ASSERT_EQ(u, L'#');
}

TEST(DriverLinkWindows, DeviceWithoutHandleRefusesRequests) {
    DriverDevice device;
    char area[64] = {};
    std::uint32_t n = 5;
    EXPECT_FALSE(device.isOpen());
    EXPECT_FALSE(device.writePcm(area, sizeof area, &n));
    EXPECT_EQ(n, 0u);
    n = 5;
    EXPECT_FALSE(device.readPcm(area, sizeof area, &n));
    EXPECT_EQ(n, 0u);

    EXPECT_FALSE(device.open(L"\\\\?\\sonvale-no-such-device"));
    EXPECT_FALSE(device.isOpen());
    n = 5;
    EXPECT_FALSE(device.writePcm(area, sizeof area, &n));
    EXPECT_EQ(n, 0u);
    n = 5;
    EXPECT_FALSE(device.readPcm(area, sizeof area, &n));
    EXPECT_EQ(n, 0u);
    EXPECT_FALSE(device.open(nullptr));
}

}  // namespace
}  // namespace sonvale
