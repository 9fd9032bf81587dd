// The library through its three exported functions.
#include <gtest/gtest.h>
#ifndef _WIN32
#include <sndfile.h>
#include <speex/speex_resampler.h>
#endif

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "orvo_alg.h"

namespace {

using Pcm = std::vector<int16_t>;
constexpr int kBlock = NS_ALG_BLOCK_SAMPLES;

Pcm run(const Pcm& in) {
    void* h = ns_alg_init();
    EXPECT_NE(h, nullptr);
    Pcm out(in.size());
    for (size_t i = 0; i + kBlock <= in.size(); i += kBlock) ns_alg_process(h, &in[i], &out[i]);
    ns_alg_destroy(h);
    return out;
}

Pcm noise(unsigned seed, size_t blocks, double amplitude) {
    std::mt19937 rng(seed);
    std::normal_distribution<double> n(0.0, amplitude);
    Pcm x(blocks * kBlock);
    for (size_t i = 0; i < x.size(); ++i) {
        // Noise with a tone that comes and goes, so the gains keep moving.
        double v = n(rng) + ((i / 8000) % 2 ? 6000.0 * std::sin(i * 0.07) : 0.0);
        x[i] = (int16_t)std::lround(std::fmax(-32768.0, std::fmin(32767.0, v)));
    }
    return x;
}

TEST(Library, ZerosGiveZeros) {
    Pcm out = run(Pcm(kBlock * 100, 0));
    for (size_t i = 0; i < out.size(); ++i) ASSERT_EQ(out[i], 0) << i;
}

TEST(Library, InPlaceEqualsSeparateBuffers) {
    const Pcm in = noise(1, 200, 2000.0);
    const Pcm separate = run(in);
    Pcm buf = in;
    void* h = ns_alg_init();
    ASSERT_NE(h, nullptr);
    for (size_t i = 0; i < buf.size(); i += kBlock) ns_alg_process(h, &buf[i], &buf[i]);
    ns_alg_destroy(h);
    EXPECT_EQ(buf, separate);
}

TEST(Library, TwoThreadsEqualSequentialRuns) {
    const Pcm a = noise(2, 300, 1500.0), b = noise(3, 300, 400.0);
    const Pcm ra = run(a), rb = run(b);
    Pcm ta, tb;
    std::thread t1([&] { ta = run(a); });
    std::thread t2([&] { tb = run(b); });
    t1.join();
    t2.join();
    EXPECT_EQ(ta, ra);
    EXPECT_EQ(tb, rb);
    EXPECT_NE(ra, rb);
}

TEST(Library, LoudInputSaturatesInsteadOfWrapping) {
    // A full-scale square wave starting after a faint noise floor passes the
    // gains at first and overshoots full scale at its edges; the overshoot
    // must clip, not wrap around to the other sign.
    const size_t onset = 60000;
    Pcm in(kBlock * 200, 0);
    std::mt19937 rng(5);
    std::uniform_int_distribution<int> faint(-30, 30);
    for (size_t i = 0; i < onset; ++i) in[i] = static_cast<int16_t>(faint(rng));
    for (size_t i = onset; i < in.size(); ++i) in[i] = (i / 256) % 2 ? 32767 : -32768;
    const Pcm out = run(in);
    int clipped = 0;
    for (size_t i = onset + NS_ALG_DELAY_SAMPLES; i < out.size(); ++i) {
        const int16_t x = in[i - NS_ALG_DELAY_SAMPLES];
        const size_t ph = (i - NS_ALG_DELAY_SAMPLES) % 256;
        // Away from the edges a loud output has the sign of the input.
        if (ph > 16 && ph < 240 && std::abs(out[i]) > 16384) {
            ASSERT_EQ(out[i] > 0, x > 0) << i;
        }
        clipped += out[i] == 32767 || out[i] == -32768;
    }
    EXPECT_GT(clipped, 0);
}

// A fan as a microphone hears it: white noise through a one-pole low-pass
// with 50 Hz mains hum and its harmonics, about -38 dBFS.
std::vector<double> fan_with_hum(unsigned seed, size_t samples) {
    std::mt19937 rng(seed);
    std::normal_distribution<double> n(0.0, 1.0);
    std::vector<double> x(samples);
    double lp = 0;
    for (size_t i = 0; i < samples; ++i) {
        lp = 0.9 * lp + n(rng);
        double hum = 0;
        for (int h = 1; h <= 6; ++h) hum += std::sin(2 * M_PI * 50.0 * h * i / 32000.0) / h;
        x[i] = 120.0 * lp + 150.0 * hum;
    }
    return x;
}

// Noise that starts after silence (a muted microphone, a stream that opens
// with zeros or with a dithered last bit) is taken down as far as noise from
// a cold start, from 300 ms after it starts: silence must neither drag the
// noise estimates down nor hold the post-filter open.
TEST(Library, NoiseAfterSilenceIsSuppressedFrom300Ms) {
    struct Case {
        const char* what;
        double noise_before_s, silence_s;
        bool dither;
    };
    const double noise_s = 3.0;
    for (const Case& c :
         {Case{"0.35 s of zeros first", 0, 0.35, false}, Case{"1 s of zeros first", 0, 1.0, false},
          Case{"5 s of zeros first", 0, 5.0, false},
          Case{"1 s of a dithered last bit first", 0, 1.0, true},
          Case{"1 s of zeros between noise", 3.0, 1.0, false}}) {
        SCOPED_TRACE(c.what);
        const size_t before = static_cast<size_t>(c.noise_before_s * 32000);
        const size_t start = before + static_cast<size_t>(c.silence_s * 32000);
        const size_t total = (start + static_cast<size_t>(noise_s * 32000)) / kBlock * kBlock;
        const auto fan = fan_with_hum(11, total);
        std::mt19937 rng(12);
        std::uniform_int_distribution<int> lsb(-1, 1);
        Pcm in(total);
        for (size_t i = 0; i < total; ++i) {
            const bool silent = i >= before && i < start;
            in[i] = silent ? static_cast<int16_t>(c.dither ? lsb(rng) : 0)
                           : static_cast<int16_t>(std::lround(fan[i]));
        }
        const Pcm out = run(in);
        double ein = 0, eout = 0;
        for (size_t i = start + 9600; i + NS_ALG_DELAY_SAMPLES < total; ++i) {
            ein += (double)in[i] * in[i];
            eout += (double)out[i + NS_ALG_DELAY_SAMPLES] * out[i + NS_ALG_DELAY_SAMPLES];
        }
        const double attenuation_db = 10 * std::log10(ein / (eout + 1e-9));
        EXPECT_GE(attenuation_db, 20.0);
    }
}

TEST(Library, NullHandleAndBuffersAreIgnored) {
    Pcm in(kBlock, 100), out(kBlock, 7);
    ns_alg_process(nullptr, in.data(), out.data());
    void* h = ns_alg_init();
    ASSERT_NE(h, nullptr);
    ns_alg_process(h, nullptr, out.data());
    ns_alg_process(h, in.data(), nullptr);
    ns_alg_destroy(h);
    ns_alg_destroy(nullptr);
    EXPECT_EQ(out, Pcm(kBlock, 7));
}

// The Windows build has no libsndfile or speexdsp and no nm for its DLL: its
// export tables are read with objdump (cmake/check-dll-exports.cmake) and its
// sound is compared with the Linux build's (same_sound.py).
#ifndef _WIN32
TEST(Library, ExportsExactlyThreeSymbols) {
    FILE* p = popen("nm -D --defined-only '" ORVO_ALG_SO "'", "r");
    ASSERT_NE(p, nullptr);
    std::set<std::string> names;
    char line[512];
    while (fgets(line, sizeof line, p)) {
        char addr[64], type[8], name[400];
        if (sscanf(line, "%63s %7s %399s", addr, type, name) == 3) names.insert(name);
    }
    ASSERT_EQ(pclose(p), 0);
    EXPECT_EQ(names, (std::set<std::string>{"ns_alg_init", "ns_alg_process", "ns_alg_destroy"}));
}

// Mono samples of a file at 32 kHz (first channel, speexdsp resampler).
std::vector<float> read_32k(const std::string& path) {
    SF_INFO info{};
    SNDFILE* f = sf_open(path.c_str(), SFM_READ, &info);
    if (!f) return {};
    std::vector<float> all(info.frames * info.channels);
    sf_readf_float(f, all.data(), info.frames);
    sf_close(f);
    std::vector<float> mono(info.frames);
    for (sf_count_t i = 0; i < info.frames; ++i) mono[i] = all[i * info.channels] * 32768.0f;
    int err = 0;
    SpeexResamplerState* r = speex_resampler_init(1, info.samplerate, 32000, 5, &err);
    speex_resampler_skip_zeros(r);
    std::vector<float> out(mono.size() * 32000 / info.samplerate + 1024);
    spx_uint32_t in_len = mono.size(), out_len = out.size();
    speex_resampler_process_float(r, 0, mono.data(), &in_len, out.data(), &out_len);
    speex_resampler_destroy(r);
    out.resize(out_len);
    return out;
}

TEST(Library, RemovesNoiseFromRealSpeech) {
    const std::filesystem::path dir = std::filesystem::path(SONVALE_CORPUS_DIR) / "mixtures";
    int checked = 0;
    for (const char* name :
         {"001_vctk_p225_001_F__rain_01__snr00", "005_vctk_p225_004_F__street_02__snr15",
          "007_vctk_p232_013_M__fanhum_01__snr10"}) {
        SCOPED_TRACE(name);
        const auto noisy = read_32k((dir / (std::string(name) + "_noisy.wav")).string());
        const auto clean = read_32k((dir / (std::string(name) + "_clean.wav")).string());
        if (noisy.empty() || clean.empty()) continue;
        // The lead-in ends where the clean speech first rises above -40 dB
        // of its peak (in 512-sample windows).
        double peak = 0;
        std::vector<double> e;
        for (size_t i = 0; i + kBlock <= clean.size(); i += kBlock) {
            double s = 0;
            for (int j = 0; j < kBlock; ++j) s += (double)clean[i + j] * clean[i + j];
            e.push_back(s);
            peak = std::max(peak, s);
        }
        size_t lead = 0;
        while (lead < e.size() && e[lead] < peak * 1e-4) ++lead;
        const size_t lead_samples = lead * kBlock;
        ASSERT_GT(lead_samples, 8192u);

        Pcm in(noisy.size() / kBlock * kBlock);
        for (size_t i = 0; i < in.size(); ++i)
            in[i] = (int16_t)std::lround(std::fmax(-32768.0f, std::fmin(32767.0f, noisy[i])));
        const Pcm out = run(in);
        // Skip the first 4096 samples while the tracker starts up.
        double ein = 0, eout = 0;
        for (size_t i = 4096; i + NS_ALG_DELAY_SAMPLES < lead_samples; ++i) {
            ein += (double)in[i] * in[i];
            eout += (double)out[i + NS_ALG_DELAY_SAMPLES] * out[i + NS_ALG_DELAY_SAMPLES];
        }
        EXPECT_LT(eout, 0.5 * ein);
        // And the speech survives: output energy after the lead-in is not
        // negligible.
        double sout = 0, sin = 0;
        for (size_t i = lead_samples; i < in.size(); ++i) {
            sin += (double)in[i - NS_ALG_DELAY_SAMPLES] * in[i - NS_ALG_DELAY_SAMPLES];
            sout += (double)out[i] * out[i];
        }
        EXPECT_GT(sout, 0.01 * sin);
        ++checked;
    }
    if (checked == 0) GTEST_SKIP() << "corpus not found in " << dir;
}
#endif

}  // namespace
