// Helpers shared by the sonvale-denoise tests: scratch folders, audio files,
// corpus speech and alignment measures.
#pragma once

#include <cstdint>
#include <deque>
#include <filesystem>
#include <string>
#include <vector>

#include "denoise_core.h"

namespace sonvale::denoise::test {

// Passes samples through unchanged, `delay` samples late: a processor whose
// effect on alignment is known exactly.
class DelayProcessor final : public BlockProcessor {
public:
    explicit DelayProcessor(int delay) : delay_(delay), line_(static_cast<size_t>(delay), 0) {}
    void process(const int16_t* in, int16_t* out) override;
    int delay() const override { return delay_; }

private:
    int delay_;
    std::deque<int16_t> line_;
};

// A factory of DelayProcessors; `made` (optional) collects what it makes.
ProcessorFactory delayFactory(int delay, std::vector<DelayProcessor*>* made = nullptr);

// Noise of exact 16-bit values, which a 32 kHz round trip must reproduce.
std::vector<float> pcm16Noise(size_t n, unsigned seed);

// A fresh folder under the system's temporary directory, removed with
// everything in it when the object goes away.
class ScratchDir {
public:
    ScratchDir();
    ~ScratchDir();
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;
    std::string path(const std::string& name) const { return (dir_ / name).string(); }
    // Names of all entries, sorted.
    std::vector<std::string> entries() const;

private:
    std::filesystem::path dir_;
};

struct Audio {
    int rate = 0;
    int channels = 0;
    int format = 0;             // libsndfile format of the file read
    std::vector<float> frames;  // interleaved
    int64_t size() const { return channels ? static_cast<int64_t>(frames.size()) / channels : 0; }
    std::vector<float> channel(int c) const;
};

// Writes interleaved samples; fails the calling test if it cannot.
void writeAudio(const std::string& path, const Audio& audio, int format);
Audio readAudio(const std::string& path);

std::string readBytes(const std::string& path);
void writeBytes(const std::string& path, const std::string& bytes);

// Clean speech from the corpus (48 kHz mono), `index`-th clean file in name
// order; empty when the corpus is not there.
std::vector<float> corpusSpeech(int index);
std::string corpusDir();

// A signal of a few sines below `top_hz` plus a smooth pulse, so that any
// shift by one sample shows as a large error.
std::vector<float> testTone(int rate, int64_t frames, double top_hz, double phase);

// Lag (in samples, -max_lag..max_lag) at which b best matches a, from the
// normalised cross-correlation over the loudest stretch of a.
int crossCorrelationPeak(const std::vector<float>& a, const std::vector<float>& b, int max_lag,
                         double* peak_value = nullptr);

// Ratio in dB of the energy of `ref` to that of (out - ref) over [from, to).
double snrDb(const std::vector<float>& ref, const std::vector<float>& out, int64_t from,
             int64_t to);

}  // namespace sonvale::denoise::test
