#include "audio/SpeakerFormat.h"

#include <cstring>

namespace sonvale {

namespace {

constexpr int kMaxChannels = 32;

bool hostIsLittleEndian() {
    const std::uint16_t probe = 1;
    unsigned char first = 0;
    std::memcpy(&first, &probe, 1);
    return first == 1;
}

// Stores the low `bytes` bytes of `value` in the format's byte order.
void storeInteger(std::uint32_t value, int bytes, bool littleEndian, char* out) {
    for (int i = 0; i < bytes; ++i) {
        const int shift = littleEndian ? 8 * i : 8 * (bytes - 1 - i);
        out[i] = static_cast<char>((value >> shift) & 0xFF);
    }
}

void storeBytes(const void* value, int bytes, bool littleEndian, char* out) {
    const auto* in = static_cast<const unsigned char*>(value);
    if (littleEndian == hostIsLittleEndian()) {
        std::memcpy(out, in, bytes);
    } else {
        for (int i = 0; i < bytes; ++i) out[i] = static_cast<char>(in[bytes - 1 - i]);
    }
}

// Writes one 16-bit sample in `format` and returns the bytes written.
int storeSample(std::int16_t sample, const QAudioFormat& format, char* out) {
    const bool little = format.byteOrder() == QAudioFormat::LittleEndian;
    const int size = format.sampleSize();
    switch (format.sampleType()) {
        case QAudioFormat::Float: {
            if (size == 32) {
                const float f = static_cast<float>(sample) / 32768.0f;
                storeBytes(&f, 4, little, out);
            } else {
                const double d = static_cast<double>(sample) / 32768.0;
                storeBytes(&d, 8, little, out);
            }
            return size / 8;
        }
        case QAudioFormat::SignedInt:
        case QAudioFormat::UnSignedInt: {
            // Scale to the sample size by shifting: exact for 16 bits and wider.
            const std::int32_t wide = static_cast<std::int32_t>(sample);
            std::uint32_t value = 0;
            if (size == 8) {
                value = static_cast<std::uint32_t>(wide >> 8);
            } else {
                value = static_cast<std::uint32_t>(wide) << (size - 16);
            }
            if (format.sampleType() == QAudioFormat::UnSignedInt) value ^= 1u << (size - 1);
            storeInteger(value, size / 8, little, out);
            return size / 8;
        }
        default:
            return 0;
    }
}

}  // namespace

bool canConvertFromStereo16(const QAudioFormat& format) {
    if (format.codec() != QLatin1String("audio/pcm")) return false;
    if (format.channelCount() < 1 || format.channelCount() > kMaxChannels) return false;
    const int size = format.sampleSize();
    switch (format.sampleType()) {
        case QAudioFormat::SignedInt:
        case QAudioFormat::UnSignedInt:
            return size == 8 || size == 16 || size == 24 || size == 32;
        case QAudioFormat::Float:
            return size == 32 || size == 64;
        default:
            return false;
    }
}

bool isStereo16(const QAudioFormat& format) {
    return format.codec() == QLatin1String("audio/pcm") && format.channelCount() == 2 &&
           format.sampleSize() == 16 && format.sampleType() == QAudioFormat::SignedInt &&
           format.byteOrder() == QAudioFormat::LittleEndian;
}

int frameBytesOf(const QAudioFormat& format) {
    if (!canConvertFromStereo16(format)) return 0;
    return format.channelCount() * format.sampleSize() / 8;
}

int convertFromStereo16(const std::int16_t* source, int frames, const QAudioFormat& format,
                        char* destination) {
    if (!canConvertFromStereo16(format) || frames <= 0) return 0;
    if (isStereo16(format) && hostIsLittleEndian()) {
        std::memcpy(destination, source, static_cast<size_t>(frames) * 4);
        return frames * 4;
    }
    const int channels = format.channelCount();
    char* out = destination;
    for (int f = 0; f < frames; ++f) {
        const std::int16_t left = source[2 * f];
        const std::int16_t right = source[2 * f + 1];
        if (channels == 1) {
            // Both channels, so that what plays on one side only is heard.
            const auto mix = static_cast<std::int16_t>((int(left) + int(right)) / 2);
            out += storeSample(mix, format, out);
            continue;
        }
        out += storeSample(left, format, out);
        out += storeSample(right, format, out);
        for (int c = 2; c < channels; ++c) out += storeSample(0, format, out);
    }
    return static_cast<int>(out - destination);
}

}  // namespace sonvale
