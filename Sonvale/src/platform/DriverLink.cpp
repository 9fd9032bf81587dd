#include "platform/DriverLink.h"

#include <algorithm>

namespace sonvale {

bool copyDevicePath(const wchar_t* path, std::size_t length, wchar_t* destination,
                    std::size_t capacity) {
    if (path == nullptr || destination == nullptr || length == 0) return false;
    if (capacity == 0 || length > capacity - 1) return false;
    std::copy(path, path + length, destination);
    destination[length] = L'\0';
    return true;
}

}  // namespace sonvale
