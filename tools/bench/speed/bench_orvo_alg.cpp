// Cost of denoising one second of 32 kHz audio: orvo_alg against speexdsp's
// preprocessor (denoise on, 512-sample frames) on the same corpus audio.
// Prints both costs (CPU time) per second of audio and their ratio.
#include <benchmark/benchmark.h>
#include <sndfile.h>
#include <speex/speex_preprocess.h>
#include <speex/speex_resampler.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "orvo_alg.h"

namespace {

constexpr int kBlock = NS_ALG_BLOCK_SAMPLES;
constexpr double kBlocksPerSecond = 32000.0 / kBlock;

// All noisy mixtures of the corpus, first channel, at 32 kHz, whole blocks.
const std::vector<int16_t>& audio() {
    static const std::vector<int16_t> pcm = [] {
        std::vector<int16_t> out;
        std::vector<std::string> files;
        const auto dir = std::filesystem::path(SONVALE_CORPUS_DIR) / "mixtures";
        std::error_code ec;
        for (const auto& e : std::filesystem::directory_iterator(dir, ec))
            if (e.path().string().find("_noisy.wav") != std::string::npos)
                files.push_back(e.path().string());
        std::sort(files.begin(), files.end());
        if (files.size() > 10) files.resize(10);
        for (const auto& f : files) {
            SF_INFO info{};
            SNDFILE* sf = sf_open(f.c_str(), SFM_READ, &info);
            if (!sf) continue;
            std::vector<float> all(info.frames * info.channels), mono(info.frames);
            sf_readf_float(sf, all.data(), info.frames);
            sf_close(sf);
            for (sf_count_t i = 0; i < info.frames; ++i)
                mono[i] = all[i * info.channels] * 32768.0f;
            int err = 0;
            SpeexResamplerState* r = speex_resampler_init(1, info.samplerate, 32000, 5, &err);
            std::vector<float> res(mono.size() * 32000 / info.samplerate + 1024);
            spx_uint32_t in_len = mono.size(), out_len = res.size();
            speex_resampler_process_float(r, 0, mono.data(), &in_len, res.data(), &out_len);
            speex_resampler_destroy(r);
            for (spx_uint32_t i = 0; i < out_len; ++i)
                out.push_back((int16_t)std::clamp(res[i], -32768.0f, 32767.0f));
        }
        if (out.empty()) {  // no corpus: a noisy tone stands in
            for (int i = 0; i < 32000 * 10; ++i)
                out.push_back((int16_t)(3000 * ((i * 7919) % 2001 - 1000) / 1000 + (i % 64) * 40));
        }
        out.resize(out.size() / kBlock * kBlock);
        return out;
    }();
    return pcm;
}

void set_counters(benchmark::State& state) {
    // Seconds of computing per second of audio.
    state.counters["cost_per_audio_s"] =
        benchmark::Counter((double)state.iterations() / kBlocksPerSecond,
                           benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

void BM_OrvoAlg(benchmark::State& state) {
    const auto& pcm = audio();
    void* h = ns_alg_init();
    std::vector<int16_t> out(kBlock);
    size_t pos = 0;
    for (auto _ : state) {
        ns_alg_process(h, &pcm[pos], out.data());
        benchmark::DoNotOptimize(out.data());
        pos = (pos + kBlock) % pcm.size();
    }
    ns_alg_destroy(h);
    set_counters(state);
}
BENCHMARK(BM_OrvoAlg);

void BM_SpeexPreprocess(benchmark::State& state) {
    const auto& pcm = audio();
    SpeexPreprocessState* st = speex_preprocess_state_init(kBlock, 32000);
    int on = 1;
    speex_preprocess_ctl(st, SPEEX_PREPROCESS_SET_DENOISE, &on);
    std::vector<int16_t> frame(kBlock);
    size_t pos = 0;
    for (auto _ : state) {
        std::copy(&pcm[pos], &pcm[pos] + kBlock, frame.begin());
        speex_preprocess_run(st, frame.data());
        benchmark::DoNotOptimize(frame.data());
        pos = (pos + kBlock) % pcm.size();
    }
    speex_preprocess_state_destroy(st);
    set_counters(state);
}
BENCHMARK(BM_SpeexPreprocess);

// Console output plus a closing line with the two costs and their ratio.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const auto& r : runs) {
            // Single runs, or the median when repetitions are aggregated.
            if (r.run_type == Run::RT_Aggregate && r.aggregate_name != "median") continue;
            if (r.iterations <= 0) continue;
            cost_[r.run_name.function_name] = r.GetAdjustedCPUTime() /
                                              benchmark::GetTimeUnitMultiplier(r.time_unit) *
                                              kBlocksPerSecond;
        }
    }
    void Finalize() override {
        ConsoleReporter::Finalize();
        auto a = cost_.find("BM_OrvoAlg"), b = cost_.find("BM_SpeexPreprocess");
        if (a == cost_.end() || b == cost_.end()) return;
        std::printf(
            "\nPer second of audio: orvo_alg %.3f ms, speexdsp preprocess %.3f ms; "
            "ratio orvo_alg / speexdsp = %.3f (%zu s of corpus audio)\n",
            a->second * 1e3, b->second * 1e3, a->second / b->second, audio().size() / 32000);
    }

private:
    std::map<std::string, double> cost_;
};

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    audio();
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return 0;
}
