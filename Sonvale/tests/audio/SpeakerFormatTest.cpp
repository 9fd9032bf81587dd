// Conversion of the play loop's stereo 16-bit PCM into other speaker formats.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "audio/SpeakerFormat.h"

namespace sonvale {
namespace {

QAudioFormat format(int channels, int size, QAudioFormat::SampleType type,
                    QAudioFormat::Endian order = QAudioFormat::LittleEndian) {
    QAudioFormat f;
    f.setSampleRate(48000);
    f.setChannelCount(channels);
    f.setSampleSize(size);
    f.setSampleType(type);
    f.setByteOrder(order);
    f.setCodec("audio/pcm");
    return f;
}

const std::int16_t kStereo[] = {1000, -2000, -32768, 32767};  // two frames

std::vector<unsigned char> convert(const QAudioFormat& f) {
    std::vector<unsigned char> out(static_cast<size_t>(frameBytesOf(f)) * 2 + 8, 0xEE);
    const int n = convertFromStereo16(kStereo, 2, f, reinterpret_cast<char*>(out.data()));
    EXPECT_EQ(n, frameBytesOf(f) * 2);
    EXPECT_EQ(out[n], 0xEE) << "wrote past the converted frames";
    out.resize(n);
    return out;
}

TEST(SpeakerFormat, StereoSixteenIsCopied) {
    const QAudioFormat f = format(2, 16, QAudioFormat::SignedInt);
    EXPECT_TRUE(isStereo16(f));
    const auto out = convert(f);
    EXPECT_EQ(std::memcmp(out.data(), kStereo, sizeof kStereo), 0);
}

TEST(SpeakerFormat, ChannelLayouts) {
    // Mono gets the mean of both channels.
    const auto mono = convert(format(1, 16, QAudioFormat::SignedInt));
    std::int16_t m[2];
    std::memcpy(m, mono.data(), 4);
    EXPECT_EQ(m[0], -500);
    EXPECT_EQ(m[1], 0);
    // Four channels: left, right, then silence.
    const auto quad = convert(format(4, 16, QAudioFormat::SignedInt));
    std::int16_t q[8];
    std::memcpy(q, quad.data(), 16);
    const std::int16_t want[8] = {1000, -2000, 0, 0, -32768, 32767, 0, 0};
    EXPECT_EQ(std::memcmp(q, want, 16), 0);
}

TEST(SpeakerFormat, SampleTypesAndByteOrders) {
    // Float: sample / 32768, so full scale maps to -1.0 exactly.
    const auto f32 = convert(format(2, 32, QAudioFormat::Float));
    float f[4];
    std::memcpy(f, f32.data(), 16);
    EXPECT_FLOAT_EQ(f[0], 1000.0f / 32768);
    EXPECT_FLOAT_EQ(f[2], -1.0f);
    EXPECT_FLOAT_EQ(f[3], 32767.0f / 32768);
    // Unsigned 8-bit: the top byte, offset by 128.
    const auto u8 = convert(format(2, 8, QAudioFormat::UnSignedInt));
    EXPECT_EQ(u8[0], 128 + 3);  // 1000 >> 8 = 3
    EXPECT_EQ(u8[1], 128 - 8);  // -2000 >> 8 = -8
    EXPECT_EQ(u8[2], 0);
    EXPECT_EQ(u8[3], 255);
    // Signed 24-bit big-endian: the sample shifted up by 8 bits.
    const auto s24 = convert(format(2, 24, QAudioFormat::SignedInt, QAudioFormat::BigEndian));
    EXPECT_EQ(s24[0], 0x03);
    EXPECT_EQ(s24[1], 0xE8);
    EXPECT_EQ(s24[2], 0x00);
    EXPECT_EQ(s24[6], 0x80);  // -32768 << 8 = 0x800000
    // Signed 32-bit little-endian.
    const auto s32 = convert(format(2, 32, QAudioFormat::SignedInt));
    std::int32_t w[4];
    std::memcpy(w, s32.data(), 16);
    EXPECT_EQ(w[1], -2000 * 65536);
    EXPECT_EQ(w[3], 32767 * 65536);
    // Big-endian 16-bit is byte-swapped.
    const auto be = convert(format(2, 16, QAudioFormat::SignedInt, QAudioFormat::BigEndian));
    EXPECT_EQ(be[0], 0x03);
    EXPECT_EQ(be[1], 0xE8);
}

TEST(SpeakerFormat, UnusableFormatsAreRefused) {
    QAudioFormat compressed = format(2, 16, QAudioFormat::SignedInt);
    compressed.setCodec("audio/mpeg");
    EXPECT_FALSE(canConvertFromStereo16(compressed));
    EXPECT_FALSE(canConvertFromStereo16(format(2, 12, QAudioFormat::SignedInt)));
    EXPECT_FALSE(canConvertFromStereo16(format(2, 16, QAudioFormat::Float)));
    EXPECT_FALSE(canConvertFromStereo16(format(0, 16, QAudioFormat::SignedInt)));
    EXPECT_FALSE(canConvertFromStereo16(QAudioFormat()));
    char out[16] = {};
    EXPECT_EQ(convertFromStereo16(kStereo, 2, compressed, out), 0);
    EXPECT_EQ(frameBytesOf(compressed), 0);
}

}  // namespace
}  // namespace sonvale
