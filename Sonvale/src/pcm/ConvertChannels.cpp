#include "pcm/ConvertChannels.h"

#include <cstring>
#include <limits>
#include <new>

namespace sonvale {

bool convertChannels(int fromChannels, int toChannels, const void* source, std::uint32_t byteCount,
                     std::unique_ptr<char[]>& out, std::uint32_t& outByteCount) {
    out.reset();
    outByteCount = 0;
    const bool monoToStereo = fromChannels == 1 && toChannels == 2;
    const bool stereoToMono = fromChannels == 2 && toChannels == 1;
    if (!monoToStereo && !stereoToMono) return false;
    if (source == nullptr && byteCount != 0) return false;

    // Whole samples or whole frames only; a trailing partial one is left out.
    const std::uint64_t units = monoToStereo ? byteCount / 2 : byteCount / 4;
    const std::uint64_t outBytes = monoToStereo ? units * 4 : units * 2;
    if (outBytes > std::numeric_limits<std::uint32_t>::max()) return false;
    if (outBytes == 0) return true;

    std::unique_ptr<char[]> block(new (std::nothrow) char[outBytes]);
    if (!block) return false;
    const auto* in = static_cast<const unsigned char*>(source);
    auto* dst = reinterpret_cast<unsigned char*>(block.get());
    if (monoToStereo) {
        for (std::uint64_t i = 0; i < units; ++i) {
            std::memcpy(dst + 4 * i, in + 2 * i, 2);
            std::memcpy(dst + 4 * i + 2, in + 2 * i, 2);
        }
    } else {
        for (std::uint64_t i = 0; i < units; ++i) std::memcpy(dst + 2 * i, in + 4 * i, 2);
    }
    out = std::move(block);
    outByteCount = static_cast<std::uint32_t>(outBytes);
    return true;
}

}  // namespace sonvale
