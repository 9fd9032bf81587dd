#include "platform/DriverLink.h"

namespace sonvale {

std::string driverInterfaceDirectory() { return {}; }

bool findDriverInterface(wchar_t*, int, std::size_t) { return false; }

DriverDevice::DriverDevice() = default;
DriverDevice::~DriverDevice() = default;
bool DriverDevice::open(const wchar_t*) { return false; }
bool DriverDevice::isOpen() const { return false; }
bool DriverDevice::writePcm(const void*, std::uint32_t, std::uint32_t* bytesReturned) {
    if (bytesReturned) *bytesReturned = 0;
    return false;
}
bool DriverDevice::readPcm(void*, std::uint32_t, std::uint32_t* bytesReturned) {
    if (bytesReturned) *bytesReturned = 0;
    return false;
}
bool DriverDevice::reopenMicrophone() { return false; }
bool DriverDevice::reopenSpeaker() { return false; }

}  // namespace sonvale
