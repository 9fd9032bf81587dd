#include "pcm/PcmResampler.h"

#include <speex/speex_resampler.h>

namespace sonvale {

PcmResampler::PcmResampler(int channels, int inRate, int outRate)
    : inRate_(inRate), outRate_(outRate) {
    if (channels < 1 || inRate <= 0 || outRate <= 0) return;
    int error = 0;
    state_ =
        speex_resampler_init(static_cast<spx_uint32_t>(channels), static_cast<spx_uint32_t>(inRate),
                             static_cast<spx_uint32_t>(outRate), kQuality, &error);
    if (state_ == nullptr) return;
    speex_resampler_set_rate(state_, static_cast<spx_uint32_t>(inRate),
                             static_cast<spx_uint32_t>(outRate));
    speex_resampler_skip_zeros(state_);
    inBlock_ = inRate / 100;
    outBlock_ = outRate / 100 + 1;
}

PcmResampler::~PcmResampler() {
    if (state_ != nullptr) speex_resampler_destroy(state_);
}

int PcmResampler::process(const std::int16_t* input, std::int16_t* output) {
    if (state_ == nullptr || inBlock_ <= 0 || input == nullptr || output == nullptr) return 0;
    spx_uint32_t inLength = static_cast<spx_uint32_t>(inBlock_);
    spx_uint32_t outLength = static_cast<spx_uint32_t>(outBlock_);
    speex_resampler_process_int(state_, 0, input, &inLength, output, &outLength);
    const int produced = static_cast<int>(outLength);
    return produced > 0 ? produced : 0;
}

int PcmResampler::processSamples(const std::int16_t* input, std::uint32_t inCount,
                                 std::int16_t* output, std::uint32_t outCapacity) {
    if (state_ == nullptr || input == nullptr || output == nullptr || inCount == 0) return 0;
    spx_uint32_t inLength = inCount;
    spx_uint32_t outLength = outCapacity;
    speex_resampler_process_int(state_, 0, input, &inLength, output, &outLength);
    return static_cast<int>(outLength);
}

void PcmResampler::reset() {
    if (state_ == nullptr) return;
    speex_resampler_reset_mem(state_);
    speex_resampler_skip_zeros(state_);
}

}  // namespace sonvale
