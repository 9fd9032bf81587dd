// Conversion of the play loop's interleaved stereo 16-bit PCM into the format
// a speaker actually accepted, so that a device whose nearest format is not
// 16-bit stereo still gets correctly interpreted samples.
#pragma once

#include <QAudioFormat>
#include <cstdint>

namespace sonvale {

// Whether stereo 16-bit PCM can be converted into `format`: linear PCM
// ("audio/pcm") of 8, 16, 24 or 32-bit integers (signed or unsigned) or 32 or
// 64-bit floats, either byte order, 1 to 32 channels.
bool canConvertFromStereo16(const QAudioFormat& format);

// Whether `format` is exactly interleaved stereo signed 16-bit little-endian,
// which needs no conversion.
bool isStereo16(const QAudioFormat& format);

// Bytes of one frame of `format` (0 when it cannot be converted to).
int frameBytesOf(const QAudioFormat& format);

// Converts `frames` stereo 16-bit frames at `source` into `format`, writing
// frames * frameBytesOf(format) bytes to `destination`. Mono takes the mean of
// left and right; with more than two channels the first two carry left and right and
// the others are silent. Returns the number of bytes written, 0 when `format`
// cannot be converted to.
int convertFromStereo16(const std::int16_t* source, int frames, const QAudioFormat& format,
                        char* destination);

}  // namespace sonvale
