// Mono 16-bit sample-rate converter working in blocks of 10 ms of input,
// built on the speexdsp resampler (quality 3).
//
// process() converts exactly one input block of inBlockSamples() samples into
// at most outBlockSamples() samples. The filter history is kept between
// blocks, so consecutive blocks join without a seam.
//
// Not thread-safe: one thread at a time.
#pragma once

#include <cstdint>

struct SpeexResamplerState_;

namespace sonvale {

class PcmResampler {
public:
    static constexpr int kQuality = 3;

    // The loops always pass channels = 1; process() converts channel 0 only.
    // Rates below 100 Hz give empty blocks; rates the converter refuses make
    // valid() false and process() return 0.
    PcmResampler(int channels, int inRate, int outRate);
    ~PcmResampler();

    PcmResampler(const PcmResampler&) = delete;
    PcmResampler& operator=(const PcmResampler&) = delete;

    bool valid() const { return state_ != nullptr; }
    // inRate / 100: samples in one input block.
    std::int32_t inBlockSamples() const { return inBlock_; }
    // outRate / 100 + 1: room needed for the output of one block.
    std::int32_t outBlockSamples() const { return outBlock_; }
    std::int32_t inRate() const { return inRate_; }
    std::int32_t outRate() const { return outRate_; }

    // Converts one block: reads inBlockSamples() samples from `input`, writes
    // to `output` (room for outBlockSamples() samples). Returns the number of
    // samples written, 0 when none.
    int process(const std::int16_t* input, std::int16_t* output);

    // Converts `inCount` samples of any number (not one block): writes at most
    // `outCapacity` samples to `output` and returns how many. For a stage that
    // gets its input in pieces of another size, so that nothing waits for a
    // block to fill.
    int processSamples(const std::int16_t* input, std::uint32_t inCount, std::int16_t* output,
                       std::uint32_t outCapacity);

    // Forgets the filter history, as if newly constructed: the next block
    // starts a new stream with no trace of the audio before. Allocates nothing.
    void reset();

private:
    SpeexResamplerState_* state_ = nullptr;
    std::int32_t inBlock_ = 0;
    std::int32_t outBlock_ = 0;
    std::int32_t inRate_ = 0;
    std::int32_t outRate_ = 0;
};

}  // namespace sonvale
