// The streaming engine with stand-in processors whose delay is known, so that
// length, alignment and channel routing can be checked to the sample.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "denoise_core.h"
#include "test_support.h"

namespace sonvale::denoise {
namespace {

using test::delayFactory;
using test::DelayProcessor;
using test::pcm16Noise;
using test::snrDb;
using test::testTone;

// Runs interleaved input through a fresh denoiser, `chunk` frames per push.
std::vector<float> run(int rate, int channels, const std::vector<float>& in, size_t chunk,
                       const ProcessorFactory& factory) {
    std::string error;
    auto d = StreamDenoiser::create(rate, channels, factory, &error);
    EXPECT_NE(d, nullptr) << error;
    if (!d) return {};
    std::vector<float> out;
    const size_t frames = in.size() / channels;
    for (size_t at = 0; at < frames; at += chunk) {
        size_t n = std::min(chunk, frames - at);
        d->push(in.data() + at * channels, n, out);
        EXPECT_LE(out.size(), (at + n) * channels) << "emitted more than it was fed";
    }
    EXPECT_TRUE(d->finish(out));
    return out;
}

TEST(StreamDenoiser, At32kHzTheDelayIsRemovedExactlyForEveryLengthAndChunking) {
    for (size_t frames : {0u, 1u, 511u, 512u, 513u, 1023u, 1024u, 20000u}) {
        for (size_t chunk : {1u, 7u, 512u, 4096u}) {
            if (chunk == 1 && frames > 2000) continue;
            auto in = pcm16Noise(frames, static_cast<unsigned>(frames + chunk));
            auto out = run(kProcessRate, 1, in, chunk, delayFactory(1023));
            ASSERT_EQ(out.size(), in.size()) << frames << " frames, chunk " << chunk;
            EXPECT_EQ(out, in) << frames << " frames, chunk " << chunk;
        }
    }
}

TEST(StreamDenoiser, UsesTheDelayTheProcessorReports) {
    auto in = pcm16Noise(5000, 9);
    for (int delay : {0, 1, 512, 2000}) {
        EXPECT_EQ(run(kProcessRate, 1, in, 333, delayFactory(delay)), in) << "delay " << delay;
    }
}

TEST(StreamDenoiser, OtherRatesKeepLengthAndLineUpToTheSample) {
    struct Case {
        int rate;
        size_t chunk;
    };
    for (Case c :
         {Case{100, 4096}, Case{8000, 100}, Case{11025, 4096}, Case{16000, 160}, Case{22050, 1000},
          Case{44100, 4096}, Case{48000, 480}, Case{96000, 4096}, Case{192000, 8192}}) {
        // Content well inside both the stream's band and the 16 kHz of the
        // processing rate, so the conversions themselves lose nothing.
        double top = 0.8 * std::min(c.rate / 2, kProcessRate / 2);
        const int64_t frames = c.rate + 1234;  // not a multiple of anything
        auto in = testTone(c.rate, frames, top, 0.3);
        auto out = run(c.rate, 1, in, c.chunk, delayFactory(1023));
        ASSERT_EQ(out.size(), in.size()) << c.rate << " Hz";
        // A shift of one sample would give well under 30 dB on this signal.
        const int64_t edge = c.rate / 50;
        EXPECT_GT(snrDb(in, out, edge, frames - edge), 40.0) << c.rate << " Hz";
        // The last frames are real signal, not the zeros fed to flush the chain.
        EXPECT_GT(snrDb(in, out, frames - edge, frames - 8), 25.0) << c.rate << " Hz";
    }
}

TEST(StreamDenoiser, EachChannelHasItsOwnProcessorAndStaysApart) {
    const int rate = 44100, channels = 3;
    const int64_t frames = 30000;
    auto a = testTone(rate, frames, 8000, 0.1);
    auto b = testTone(rate, frames, 3000, 1.7);
    std::vector<float> in(static_cast<size_t>(frames) * channels);
    for (int64_t i = 0; i < frames; ++i) {
        in[i * channels + 0] = a[i];
        in[i * channels + 1] = 0.0f;  // a silent channel must stay silent
        in[i * channels + 2] = b[i];
    }
    std::vector<DelayProcessor*> made;
    auto out = run(rate, channels, in, 1000, delayFactory(1023, &made));
    ASSERT_EQ(out.size(), in.size());
    ASSERT_EQ(made.size(), 3u);
    std::vector<float> oa(frames), ob(frames), silent(frames);
    for (int64_t i = 0; i < frames; ++i) {
        oa[i] = out[i * channels + 0];
        silent[i] = out[i * channels + 1];
        ob[i] = out[i * channels + 2];
    }
    EXPECT_GT(snrDb(a, oa, 1000, frames - 1000), 40.0);
    EXPECT_GT(snrDb(b, ob, 1000, frames - 1000), 40.0);
    EXPECT_TRUE(std::all_of(silent.begin(), silent.end(), [](float v) { return v == 0.0f; }));
}

TEST(StreamDenoiser, FullScaleInputClipsInsteadOfWrapping) {
    // A square wave at full scale overshoots after rate conversion; the
    // 16-bit processor input must saturate, or the output flips sign.
    const int rate = 48000;
    std::vector<float> in(20000);
    for (size_t i = 0; i < in.size(); ++i) in[i] = (i / 100) % 2 ? 1.0f : -1.0f;
    auto out = run(rate, 1, in, 4096, delayFactory(1023));
    ASSERT_EQ(out.size(), in.size());
    for (size_t i = 2000; i < in.size() - 2000; ++i) {
        if (i % 100 > 10 && i % 100 < 90) {
            ASSERT_GT(out[i] * in[i], 0.5f) << "sample " << i;
        }
    }
}

TEST(StreamDenoiser, RefusesWhatItCannotRun) {
    std::string error;
    EXPECT_EQ(StreamDenoiser::create(0, 1, delayFactory(0), &error), nullptr);
    EXPECT_NE(error.find("sample rate"), std::string::npos) << error;
    EXPECT_EQ(StreamDenoiser::create(48000, 0, delayFactory(0), &error), nullptr);
    EXPECT_NE(error.find("channel"), std::string::npos) << error;
    auto failing = []() -> std::unique_ptr<BlockProcessor> { return nullptr; };
    EXPECT_EQ(StreamDenoiser::create(48000, 2, failing, &error), nullptr);
    EXPECT_NE(error.find("noise suppressor"), std::string::npos) << error;
    EXPECT_EQ(StreamDenoiser::create(48000, 2, nullptr, &error), nullptr);
}

TEST(StreamDenoiser, NothingComesOutAfterFinish) {
    auto d = StreamDenoiser::create(kProcessRate, 1, delayFactory(1023), nullptr);
    ASSERT_NE(d, nullptr);
    auto in = pcm16Noise(3000, 4);
    std::vector<float> out;
    d->push(in.data(), in.size(), out);
    ASSERT_TRUE(d->finish(out));
    EXPECT_EQ(out, in);
    d->push(in.data(), in.size(), out);
    EXPECT_TRUE(d->finish(out));
    EXPECT_EQ(out.size(), in.size());
}

}  // namespace
}  // namespace sonvale::denoise
