// Conversion between mono and interleaved stereo 16-bit PCM.
#pragma once

#include <cstdint>
#include <memory>

namespace sonvale {

// 1 -> 2: every sample becomes the left and right of one stereo frame.
// 2 -> 1: the left sample of every stereo frame is kept.
// Only whole samples (1 -> 2) or whole 4-byte frames (2 -> 1) are converted;
// a trailing partial one is ignored. On success `out` holds a new block of
// `outByteCount` bytes (null when that is 0). Any other channel pair, a null
// source with a non-zero count, or a result too large returns false with
// `out` null and `outByteCount` 0.
bool convertChannels(int fromChannels, int toChannels, const void* source, std::uint32_t byteCount,
                     std::unique_ptr<char[]>& out, std::uint32_t& outByteCount);

}  // namespace sonvale
