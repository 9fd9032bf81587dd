// Runs one noise suppressor over a raw file of mono 16-bit samples at 32 kHz
// and writes the processed samples in the same format. Used by the quality
// benchmark, which measures every method with this one binary so that their
// costs can be compared within a run.
//
// Usage: quality-peers METHOD IN.raw OUT.raw
//        quality-peers list      (prints the methods this build has)
//   METHOD  speex        speexdsp preprocessor, denoise on (default -15 dB)
//           webrtc       WebRTC noise suppression, level "very high"
//           orvo         orvo_alg with the default mask estimator
//           orvo-unity   orvo_alg with the unity mask
//           live         the program's live chain at 48 kHz: its rate converter
//                        (PcmResampler) to 32 kHz in 10 ms blocks, orvo_alg in
//                        blocks of 512 as they fill, and back to 48 kHz
//                        (IN.raw and OUT.raw at 48 kHz)
// Prints one line of JSON with the processing cost per 10 ms of audio.
//
// The output keeps each method's delay; the benchmark finds it by alignment.
#include <dlfcn.h>
#include <speex/speex_preprocess.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include "webrtc/modules/audio_processing/include/audio_processing.h"
#include "webrtc/modules/interface/module_common_types.h"

#ifdef QUALITY_HAVE_ORVO
#include "orvo_alg.h"
#include "pcm/PcmResampler.h"
#endif

namespace {

constexpr int kRate = 32000;
constexpr int k10ms = kRate / 100;

// The cost is the processing thread's CPU time, not wall time: on a shared
// machine wall time also counts the moments the thread waits for a core.
double threadSeconds() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + 1e-9 * static_cast<double>(ts.tv_nsec);
}

#ifdef QUALITY_HAVE_ORVO
// Mask-estimator mode that orvo_alg gets when it asks vardix for its default
// estimator; see the vardix_init below.
int g_vardix_mode = 1;
#endif

bool readRaw(const char* path, std::vector<int16_t>& out) {
    FILE* f = std::fopen(path, "rb");
    if (!f) return false;
    std::fseek(f, 0, SEEK_END);
    long bytes = std::ftell(f);
    std::fseek(f, 0, SEEK_SET);
    out.assign(static_cast<size_t>(bytes) / 2, 0);
    size_t got = std::fread(out.data(), 2, out.size(), f);
    std::fclose(f);
    return got == out.size();
}

bool writeRaw(const char* path, const std::vector<int16_t>& data) {
    FILE* f = std::fopen(path, "wb");
    if (!f) return false;
    size_t put = std::fwrite(data.data(), 2, data.size(), f);
    return std::fclose(f) == 0 && put == data.size();
}

// Runs `process` over blocks of `block` samples (the tail zero-padded) and
// returns the time spent inside it, in seconds.
template <typename F>
double runBlocks(const std::vector<int16_t>& in, std::vector<int16_t>& out, size_t block,
                 F&& process) {
    size_t blocks = (in.size() + block - 1) / block;
    std::vector<int16_t> padded(blocks * block, 0);
    std::memcpy(padded.data(), in.data(), in.size() * 2);
    out.assign(padded.size(), 0);
    double busy = 0;
    for (size_t b = 0; b < blocks; ++b) {
        double t0 = threadSeconds();
        process(padded.data() + b * block, out.data() + b * block);
        busy += threadSeconds() - t0;
    }
    out.resize(in.size());
    return busy;
}

double runSpeex(const std::vector<int16_t>& in, std::vector<int16_t>& out) {
    SpeexPreprocessState* st = speex_preprocess_state_init(k10ms, kRate);
    int on = 1;
    speex_preprocess_ctl(st, SPEEX_PREPROCESS_SET_DENOISE, &on);
    double t = runBlocks(in, out, k10ms, [st](const int16_t* x, int16_t* y) {
        std::memcpy(y, x, k10ms * 2);
        speex_preprocess_run(st, y);
    });
    speex_preprocess_state_destroy(st);
    return t;
}

double runWebrtc(const std::vector<int16_t>& in, std::vector<int16_t>& out) {
    std::unique_ptr<webrtc::AudioProcessing> apm(webrtc::AudioProcessing::Create());
    apm->noise_suppression()->set_level(webrtc::NoiseSuppression::kVeryHigh);
    apm->noise_suppression()->Enable(true);
    webrtc::AudioFrame frame;
    double t = runBlocks(in, out, k10ms, [&](const int16_t* x, int16_t* y) {
        frame.UpdateFrame(0, 0, x, k10ms, kRate, webrtc::AudioFrame::kNormalSpeech,
                          webrtc::AudioFrame::kVadUnknown, 1);
        apm->ProcessStream(&frame);
        std::memcpy(y, frame.data_, k10ms * 2);
    });
    return t;
}

#ifdef QUALITY_HAVE_ORVO
double runOrvo(const std::vector<int16_t>& in, std::vector<int16_t>& out) {
    void* h = ns_alg_init();
    double t = runBlocks(in, out, NS_ALG_BLOCK_SAMPLES,
                         [h](const int16_t* x, int16_t* y) { ns_alg_process(h, x, y); });
    ns_alg_destroy(h);
    return t;
}

// The capture loop's suppression path: 48 kHz in 10 ms blocks through the
// program's own converter, 512-sample frames through orvo_alg as soon as
// they are complete, the cleaned 32 kHz samples back to 48 kHz in 10 ms
// blocks. The cost counts all of it, per 10 ms of 48 kHz input.
constexpr int kLiveRate = 48000;

double runLive(const std::vector<int16_t>& in, std::vector<int16_t>& out) {
    sonvale::PcmResampler down(1, kLiveRate, kRate), up(1, kRate, kLiveRate);
    void* h = ns_alg_init();
    const size_t block = kLiveRate / 100;
    const size_t blocks = (in.size() + block - 1) / block;
    std::vector<int16_t> padded(blocks * block, 0);
    std::memcpy(padded.data(), in.data(), in.size() * 2);
    std::vector<int16_t> mid, cleaned, scratch(static_cast<size_t>(down.outBlockSamples())),
        scratch_up(static_cast<size_t>(up.outBlockSamples())), frame(NS_ALG_BLOCK_SAMPLES);
    out.clear();
    size_t mid_pos = 0, clean_pos = 0;
    double busy = 0;
    for (size_t b = 0; b < blocks; ++b) {
        const double t0 = threadSeconds();
        const int n = down.process(padded.data() + b * block, scratch.data());
        mid.insert(mid.end(), scratch.begin(), scratch.begin() + n);
        while (mid.size() - mid_pos >= NS_ALG_BLOCK_SAMPLES) {
            ns_alg_process(h, mid.data() + mid_pos, frame.data());
            mid_pos += NS_ALG_BLOCK_SAMPLES;
            cleaned.insert(cleaned.end(), frame.begin(), frame.end());
        }
        while (cleaned.size() - clean_pos >= static_cast<size_t>(up.inBlockSamples())) {
            const int m = up.process(cleaned.data() + clean_pos, scratch_up.data());
            clean_pos += static_cast<size_t>(up.inBlockSamples());
            out.insert(out.end(), scratch_up.begin(), scratch_up.begin() + m);
        }
        busy += threadSeconds() - t0;
    }
    ns_alg_destroy(h);
    out.resize(in.size(), 0);
    return busy;
}
#endif

}  // namespace

#ifdef QUALITY_HAVE_ORVO
// orvo_alg always asks for vardix_init(1). This executable exports its own
// vardix_init, which the dynamic linker binds orvo_alg's call to, and hands
// the request on to the real one with the mode chosen on the command line:
// that is how the unity mask is measured through the unchanged library.
extern "C" __attribute__((visibility("default"))) void* vardix_init(int /*mode*/) {
    using Init = void* (*)(int);
    static Init real = reinterpret_cast<Init>(dlsym(RTLD_NEXT, "vardix_init"));
    return real ? real(g_vardix_mode) : nullptr;
}
#endif

int main(int argc, char** argv) {
    if (argc == 2 && std::string(argv[1]) == "list") {
#ifdef QUALITY_HAVE_ORVO
        std::printf("speex webrtc orvo orvo-unity live\n");
#else
        std::printf("speex webrtc\n");
#endif
        return 0;
    }
    if (argc != 4) {
        std::fprintf(stderr, "usage: %s speex|webrtc|orvo|orvo-unity|live IN.raw OUT.raw\n",
                     argv[0]);
        return 2;
    }
    const std::string method = argv[1];
    std::vector<int16_t> in, out;
    if (!readRaw(argv[2], in)) {
        std::fprintf(stderr, "cannot read %s\n", argv[2]);
        return 1;
    }
    double seconds = -1;
    double tens = static_cast<double>(in.size()) / k10ms;
    if (method == "speex") {
        seconds = runSpeex(in, out);
    } else if (method == "webrtc") {
        seconds = runWebrtc(in, out);
#ifdef QUALITY_HAVE_ORVO
    } else if (method == "orvo" || method == "orvo-unity") {
        g_vardix_mode = method == "orvo" ? 1 : 0;
        seconds = runOrvo(in, out);
    } else if (method == "live") {
        g_vardix_mode = 1;
        seconds = runLive(in, out);
        tens = static_cast<double>(in.size()) / (kLiveRate / 100);
#endif
    } else {
        std::fprintf(stderr, "unknown method %s\n", method.c_str());
        return 2;
    }
    if (!writeRaw(argv[3], out)) {
        std::fprintf(stderr, "cannot write %s\n", argv[3]);
        return 1;
    }
    std::printf("{\"method\": \"%s\", \"us_per_10ms\": %.3f}\n", method.c_str(),
                tens > 0 ? seconds * 1e6 / tens : 0.0);
    return 0;
}
