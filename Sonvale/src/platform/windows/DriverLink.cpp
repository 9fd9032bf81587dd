// Windows backend of the driver link: SetupAPI finds the driver's device
// interface by its class GUID, CreateFileW opens it for synchronous I/O, and
// two METHOD_NEITHER I/O control requests carry the PCM.
#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
// clang-format off
#include <setupapi.h>
#include <winioctl.h>
// clang-format on

#include <cstddef>
#include <cstdio>
#include <cwchar>
#include <new>

#include "platform/DriverLink.h"

namespace sonvale {
namespace {

const GUID kInterfaceGuid = {
    0xA918DC47, 0x8798, 0x45A3, {0x83, 0x51, 0xCB, 0xF0, 0xAB, 0x47, 0x20, 0x8A}};

static_assert(CTL_CODE(FILE_DEVICE_UNKNOWN, 0x00E, METHOD_NEITHER, FILE_ANY_ACCESS) ==
              kIoctlMicPcmWrite);
static_assert(CTL_CODE(FILE_DEVICE_UNKNOWN, 0x013, METHOD_NEITHER, FILE_ANY_ACCESS) ==
              kIoctlSpeakerPcmRead);

bool usable(void* handle) { return handle != nullptr && handle != INVALID_HANDLE_VALUE; }

}  // namespace

bool findDriverInterface(wchar_t* destination, int memberIndex, std::size_t capacity) {
    HDEVINFO set = SetupDiGetClassDevsW(&kInterfaceGuid, nullptr, nullptr,
                                        DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (set == INVALID_HANDLE_VALUE) {
        std::fputs("No HDEVINFO available for this GUID\n", stdout);
        std::fflush(stdout);
        return false;
    }
    if (destination == nullptr || capacity == 0 || memberIndex < 0) {
        SetupDiDestroyDeviceInfoList(set);
        return false;
    }

    SP_DEVICE_INTERFACE_DATA interfaceData{};
    interfaceData.cbSize = sizeof(interfaceData);
    if (!SetupDiEnumDeviceInterfaces(set, nullptr, &kInterfaceGuid, static_cast<DWORD>(memberIndex),
                                     &interfaceData)) {
        SetupDiDestroyDeviceInfoList(set);
        return false;
    }

    DWORD required = 0;
    SetupDiGetDeviceInterfaceDetailW(set, &interfaceData, nullptr, 0, &required, nullptr);
    if (required < sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W)) {
        SetupDiDestroyDeviceInfoList(set);
        return false;
    }
    // Twice the required size, zeroed, so the path is terminated even if the
    // reported size were short by its terminator.
    const std::size_t blockBytes = static_cast<std::size_t>(required) * 2;
    auto* block = new (std::nothrow) unsigned char[blockBytes]();
    if (block == nullptr) {
        SetupDiDestroyDeviceInfoList(set);
        return false;
    }
    auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(block);
    detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
    if (!SetupDiGetDeviceInterfaceDetailW(set, &interfaceData, detail, required, nullptr,
                                          nullptr)) {
        SetupDiDestroyDeviceInfoList(set);
        delete[] block;
        return false;
    }

    const std::size_t pathOffset = offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_W, DevicePath);
    const std::size_t maxUnits = (blockBytes - pathOffset) / sizeof(wchar_t);
    const std::size_t length = wcsnlen(detail->DevicePath, maxUnits);
    // A path that does not fit with its terminator is refused, not cut.
    const bool fits =
        length < maxUnits && copyDevicePath(detail->DevicePath, length, destination, capacity);
    delete[] block;
    SetupDiDestroyDeviceInfoList(set);
    return fits;
}

DriverDevice::DriverDevice() = default;

DriverDevice::~DriverDevice() {
    if (usable(handle_)) CloseHandle(handle_);
}

bool DriverDevice::open(const wchar_t* path) {
    if (usable(handle_)) CloseHandle(handle_);
    if (path == nullptr) {
        handle_ = INVALID_HANDLE_VALUE;
        return false;
    }
    handle_ = CreateFileW(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                          FILE_ATTRIBUTE_NORMAL, nullptr);
    return handle_ != INVALID_HANDLE_VALUE;
}

bool DriverDevice::isOpen() const { return usable(handle_); }

bool DriverDevice::writePcm(const void* data, std::uint32_t length, std::uint32_t* bytesReturned) {
    if (bytesReturned != nullptr) *bytesReturned = 0;
    if (!usable(handle_) || (data == nullptr && length != 0)) return false;
    DWORD returned = 0;
    const BOOL ok = DeviceIoControl(handle_, kIoctlMicPcmWrite, const_cast<void*>(data), length,
                                    nullptr, 0, &returned, nullptr);
    if (bytesReturned != nullptr) *bytesReturned = returned;
    return ok != FALSE;
}

bool DriverDevice::readPcm(void* area, std::uint32_t capacity, std::uint32_t* bytesReturned,
                           bool /*waitForData: the driver's request never waits*/) {
    if (bytesReturned != nullptr) *bytesReturned = 0;
    if (!usable(handle_) || area == nullptr) return false;
    DWORD returned = 0;
    const BOOL ok = DeviceIoControl(handle_, kIoctlSpeakerPcmRead, nullptr, 0, area, capacity,
                                    &returned, nullptr);
    // Never report more than the area holds, whatever the driver says.
    if (returned > capacity) returned = capacity;
    if (bytesReturned != nullptr) *bytesReturned = ok ? returned : 0;
    return ok != FALSE;
}

}  // namespace sonvale
