// Benchmarks of the streaming building blocks.
//
// The chain benchmarks push one second of 48 kHz audio through the same
// stages the loops run (queues, channel and rate conversion; the noise
// suppressor is left out, its frames are passed through), so "realtime" is
// seconds of audio handled per second of CPU. The idle benchmark measures the
// CPU share of a thread that polls readPcm the way the play loop does while
// the virtual speaker is silent (target: under 1 % of a core).
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "pcm/ConvertChannels.h"
#include "pcm/PcmQueue.h"
#include "pcm/PcmResampler.h"
#include "platform/DriverLink.h"

namespace {

using namespace sonvale;

constexpr int kRate = 48000;
constexpr std::uint32_t kReadBytes = 3840;  // 40 ms of mono per hand-over

std::vector<std::int16_t> tone(int samples, int channels) {
    std::vector<std::int16_t> s(std::size_t(samples) * channels);
    for (int i = 0; i < samples; ++i) {
        const auto v =
            static_cast<std::int16_t>(12000 * std::sin(2 * 3.14159265 * 440 * i / kRate));
        for (int c = 0; c < channels; ++c) s[std::size_t(i) * channels + c] = v;
    }
    return s;
}

void appendConverted(int from, int to, const char* p, std::uint32_t n, PcmQueue& dst) {
    std::unique_ptr<char[]> block;
    std::uint32_t bytes = 0;
    if (convertChannels(from, to, p, n, block, bytes) && bytes > 0) dst.append(block.get(), bytes);
}

// Stage through a converter: whole input blocks, output appended to `dst`.
void resampleStage(PcmQueue& src, PcmResampler& r, std::int16_t* scratch, PcmQueue& dst,
                   bool toStereo) {
    const std::uint32_t block = std::uint32_t(r.inBlockSamples()) * 2;
    std::uint32_t n = 0;
    while (const char* p = src.peek(block, n)) {
        const int produced = r.process(reinterpret_cast<const std::int16_t*>(p), scratch);
        const std::uint32_t bytes = std::uint32_t(produced) * 2;
        if (toStereo) {
            appendConverted(1, 2, reinterpret_cast<const char*>(scratch), bytes, dst);
        } else if (bytes > 0) {
            dst.append(scratch, bytes);
        }
        src.consume(block);
    }
}

std::uint32_t drain(PcmQueue& q, std::uint32_t chunk) {
    std::uint32_t n = 0, sum = 0;
    while (const char* p = q.peek(chunk, n)) {
        sum += static_cast<unsigned char>(p[0]);
        q.consume(chunk);
    }
    return sum;
}

void setRealtime(benchmark::State& state) {
    state.counters["realtime"] =
        benchmark::Counter(double(state.iterations()), benchmark::Counter::kIsRate);
    state.SetBytesProcessed(std::int64_t(state.iterations()) * kRate * 2);
}

// Microphone path with suppression on: 48 k mono -> 32 k -> (frames of 512)
// -> 48 k -> stereo -> 1920-byte driver chunks.
void BM_CaptureChainSuppressed(benchmark::State& state) {
    const auto input = tone(kRate, 1);
    const auto* bytes = reinterpret_cast<const char*>(input.data());
    PcmQueue a, c, d, e;
    PcmResampler to32(1, kRate, 32000), to48(1, 32000, kRate);
    std::vector<std::int16_t> scratch(4096);
    for (auto _ : state) {
        for (std::uint32_t at = 0; at < input.size() * 2; at += kReadBytes) {
            a.append(bytes + at, kReadBytes);
            resampleStage(a, to32, scratch.data(), c, false);
            std::uint32_t n = 0;
            while (const char* p = c.peek(1024, n)) {
                d.append(p, 1024);  // stands for the suppressor's output frame
                c.consume(1024);
            }
            resampleStage(d, to48, scratch.data(), e, true);
            benchmark::DoNotOptimize(drain(e, kDriverWriteChunkBytes));
        }
    }
    setRealtime(state);
}
BENCHMARK(BM_CaptureChainSuppressed);

// Microphone path with suppression off: 48 k mono in 1920-byte blocks ->
// stereo -> driver chunks.
void BM_CaptureChainDirect(benchmark::State& state) {
    const auto input = tone(kRate, 1);
    const auto* bytes = reinterpret_cast<const char*>(input.data());
    PcmQueue b, e;
    for (auto _ : state) {
        for (std::uint32_t at = 0; at < input.size() * 2; at += kReadBytes) {
            b.append(bytes + at, kReadBytes);
            std::uint32_t n = 0;
            while (const char* p = b.peek(1920, n)) {
                appendConverted(1, 2, p, 1920, e);
                b.consume(1920);
            }
            benchmark::DoNotOptimize(drain(e, kDriverWriteChunkBytes));
        }
    }
    setRealtime(state);
}
BENCHMARK(BM_CaptureChainDirect);

// Speaker path, suppression off, 44.1 kHz speaker: driver stereo -> left ->
// 48 k -> 44.1 k -> stereo -> 1920-byte speaker chunks.
void BM_PlayChainResampled(benchmark::State& state) {
    const auto input = tone(kRate, 2);
    const auto* bytes = reinterpret_cast<const char*>(input.data());
    PcmQueue a, b;
    PcmResampler toOut(1, kRate, 44100);
    std::vector<std::int16_t> scratch(4096);
    for (auto _ : state) {
        for (std::uint32_t at = 0; at < input.size() * 2; at += 2 * kReadBytes) {
            appendConverted(2, 1, bytes + at, 2 * kReadBytes, a);
            resampleStage(a, toOut, scratch.data(), b, true);
            benchmark::DoNotOptimize(drain(b, 1920));
        }
    }
    setRealtime(state);
}
BENCHMARK(BM_PlayChainResampled);

// Queue alone: 1 s of 1920-byte chunks appended and consumed with a
// remainder left behind each time, so every consume moves bytes.
void BM_QueueAppendConsume(benchmark::State& state) {
    std::vector<char> chunk(2000, 1);
    PcmQueue q;
    for (auto _ : state) {
        for (int i = 0; i < 50; ++i) {
            q.append(chunk.data(), 2000);
            q.consume(1920);
        }
        q.clear();
    }
    setRealtime(state);
}
BENCHMARK(BM_QueueAppendConsume);

double seconds(clockid_t clock) {
    timespec ts;
    clock_gettime(clock, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) * 1e-9;
}

// A polling thread with nothing to read: readPcm on a silent speaker FIFO
// (its writer connected, as the pipe sink keeps it), then the play loop's
// 10-microsecond sleep, over and over. Reports the thread's CPU share.
void BM_IdleReadPcmCpu(benchmark::State& state) {
    char tmpl[] = "/tmp/sonvale-bench-XXXXXX";
    if (mkdtemp(tmpl) == nullptr) {
        state.SkipWithError("mkdtemp failed");
        return;
    }
    const std::string dir = tmpl;
    const std::string speaker = dir + "/" + kSpeakerFifoName, mic = dir + "/" + kMicrophoneFifoName;
    mkfifo(speaker.c_str(), 0600);
    mkfifo(mic.c_str(), 0600);
    const int writer = ::open(speaker.c_str(), O_RDWR | O_NONBLOCK);
    const int reader = ::open(mic.c_str(), O_RDONLY | O_NONBLOCK);
    DriverDevice device;
    const std::wstring path(dir.begin(), dir.end());
    device.open(path.c_str());
    std::vector<char> area(kDriverReadAreaBytes);

    double cpu = 0, wall = 0;
    long calls = 0;
    for (auto _ : state) {
        const double c0 = seconds(CLOCK_THREAD_CPUTIME_ID), w0 = seconds(CLOCK_MONOTONIC);
        for (int i = 0; i < 200; ++i) {
            std::uint32_t n = 0;
            device.readPcm(area.data(), kDriverReadAreaBytes, &n);
            benchmark::DoNotOptimize(n);
            usleep(10);
        }
        cpu += seconds(CLOCK_THREAD_CPUTIME_ID) - c0;
        wall += seconds(CLOCK_MONOTONIC) - w0;
        calls += 200;
    }
    state.counters["cpu_percent"] = wall > 0 ? 100.0 * cpu / wall : 0;
    state.counters["wake_per_s"] = wall > 0 ? double(calls) / wall : 0;
    ::close(writer);
    ::close(reader);
    std::filesystem::remove_all(dir);
}
BENCHMARK(BM_IdleReadPcmCpu)->Iterations(3)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
