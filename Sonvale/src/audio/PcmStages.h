// Processing stages shared by the capture and play loops: each drains whole
// blocks from one queue and hands what it produced to a sink (usually an
// append to the next queue). Header-only so the sinks inline.
#ifndef SONVALE_AUDIO_PCMSTAGES_H
#define SONVALE_AUDIO_PCMSTAGES_H

#include <cstdint>
#include <cstring>

#include "orvo_alg.h"
#include "pcm/PcmQueue.h"
#include "pcm/PcmResampler.h"

namespace sonvale {

// Bytes of one 512-sample block of the suppression stage.
constexpr std::uint32_t kSuppressionBlockBytes = NS_ALG_BLOCK_SAMPLES * 2;

// Resamples every whole input block waiting in `from`. `scratch` holds
// `scratchBytes` and receives each block's output before `sink` sees it.
template <typename Sink>
void resampleStage(PcmQueue& from, PcmResampler* converter, std::int16_t* scratch,
                   std::uint32_t scratchBytes, Sink&& sink) {
    if (!converter) return;
    const std::uint32_t block = static_cast<std::uint32_t>(converter->inBlockSamples()) * 2;
    if (block == 0) return;
    std::uint32_t count = 0;
    while (const char* p = from.peek(block, count)) {
        std::memset(scratch, 0, scratchBytes);
        const int produced = converter->process(reinterpret_cast<const std::int16_t*>(p), scratch);
        if (produced > 0) sink(scratch, static_cast<std::uint32_t>(produced) * 2);
        from.consume(block);
    }
}

// Runs every whole 512-sample block waiting in `from` through the noise
// suppressor `ns`; `out` receives each cleaned block (512 samples).
template <typename Sink>
void suppressionStage(PcmQueue& from, void* ns, std::int16_t* out, Sink&& sink) {
    std::uint32_t count = 0;
    while (const char* p = from.peek(kSuppressionBlockBytes, count)) {
        std::int16_t in[NS_ALG_BLOCK_SAMPLES];
        std::memcpy(in, p, kSuppressionBlockBytes);
        ns_alg_process(ns, in, out);
        sink(out, kSuppressionBlockBytes);
        from.consume(kSuppressionBlockBytes);
    }
}

}  // namespace sonvale

#endif  // SONVALE_AUDIO_PCMSTAGES_H
