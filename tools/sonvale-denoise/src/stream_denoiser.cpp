// The per-channel chain: rate in -> 32 kHz -> 512-sample blocks through the
// processor -> drop the processor's delay -> rate out.
//
// Both resamplers are primed with speex_resampler_skip_zeros, which makes
// their output line up with their input (no leading filter delay). The
// processor's delay is an exact number of 32 kHz samples and is dropped
// before the up-conversion. At the end, zeros are fed until every input
// frame has come out the far side; the surplus is cut off.
#include <speex/speex_resampler.h>

#include <algorithm>
#include <cmath>
#include <cstring>

#include "denoise_core.h"

namespace sonvale::denoise {

namespace {

// Quality of the file tool's rate conversion: speexdsp's "desktop" setting,
// which keeps conversion artefacts far below what the suppressor changes.
constexpr int kResamplerQuality = SPEEX_RESAMPLER_QUALITY_DESKTOP;

struct ResamplerDeleter {
    void operator()(SpeexResamplerState* st) const { speex_resampler_destroy(st); }
};
using Resampler = std::unique_ptr<SpeexResamplerState, ResamplerDeleter>;

Resampler makeResampler(int from, int to) {
    int err = RESAMPLER_ERR_SUCCESS;
    Resampler st(speex_resampler_init(1, static_cast<spx_uint32_t>(from),
                                      static_cast<spx_uint32_t>(to), kResamplerQuality, &err));
    if (st && err == RESAMPLER_ERR_SUCCESS) {
        speex_resampler_skip_zeros(st.get());
        return st;
    }
    return nullptr;
}

// Converts all of `in` and appends the result to `out`, in steps that fit a
// bounded scratch area.
void resampleAppend(SpeexResamplerState* st, const float* in, size_t n, std::vector<float>& out) {
    constexpr spx_uint32_t kStep = 4096;
    float scratch[kStep];
    while (n > 0) {
        spx_uint32_t in_len = static_cast<spx_uint32_t>(std::min<size_t>(n, kStep));
        spx_uint32_t out_len = kStep;
        speex_resampler_process_float(st, 0, in, &in_len, scratch, &out_len);
        out.insert(out.end(), scratch, scratch + out_len);
        in += in_len;
        n -= in_len;
        if (in_len == 0 && out_len == 0) break;  // cannot happen with a free scratch area
    }
}

int16_t toSample(float v) {
    float r = std::nearbyint(v);
    if (!(r >= -32768.0f)) r = -32768.0f;  // also maps NaN to a defined value
    if (r > 32767.0f) r = 32767.0f;
    return static_cast<int16_t>(r);
}

}  // namespace

class ChannelChain {
public:
    static std::unique_ptr<ChannelChain> create(int rate, const ProcessorFactory& factory,
                                                std::string* error) {
        std::unique_ptr<ChannelChain> c(new ChannelChain);
        c->proc_ = factory ? factory() : nullptr;
        if (!c->proc_) {
            *error = "cannot create the noise suppressor";
            return nullptr;
        }
        c->drop_ = std::max(0, c->proc_->delay());
        if (rate != kProcessRate) {
            c->down_ = makeResampler(rate, kProcessRate);
            c->up_ = makeResampler(kProcessRate, rate);
            if (!c->down_ || !c->up_) {
                *error = "cannot convert " + std::to_string(rate) + " Hz to " +
                         std::to_string(kProcessRate) + " Hz";
                return nullptr;
            }
        }
        return c;
    }

    // Feeds n samples at the stream rate (full scale +-1.0); appends what
    // comes out to pending().
    void push(const float* in, size_t n) {
        mid_.clear();
        if (down_) {
            resampleAppend(down_.get(), in, n, mid_);
        } else {
            mid_.assign(in, in + n);
        }
        back_.clear();
        for (float v : mid_) {
            block_[fill_++] = toSample(v * 32768.0f);
            if (fill_ == kBlockSamples) {
                proc_->process(block_, processed_);
                fill_ = 0;
                size_t skip = std::min<size_t>(drop_, kBlockSamples);
                drop_ -= static_cast<int>(skip);
                for (size_t i = skip; i < kBlockSamples; ++i) {
                    back_.push_back(processed_[i] * (1.0f / 32768.0f));
                }
            }
        }
        if (up_) {
            resampleAppend(up_.get(), back_.data(), back_.size(), pending_);
        } else {
            pending_.insert(pending_.end(), back_.begin(), back_.end());
        }
    }

    std::vector<float>& pending() { return pending_; }

private:
    ChannelChain() = default;

    std::unique_ptr<BlockProcessor> proc_;
    Resampler down_, up_;
    int drop_ = 0;  // processor output samples still to discard
    int16_t block_[kBlockSamples] = {};
    int16_t processed_[kBlockSamples] = {};
    int fill_ = 0;
    std::vector<float> mid_;      // this push at 32 kHz
    std::vector<float> back_;     // processed, delay removed, at 32 kHz
    std::vector<float> pending_;  // at the stream rate, not yet handed out
};

StreamDenoiser::StreamDenoiser(int rate, int channels) : rate_(rate), channels_(channels) {}
StreamDenoiser::~StreamDenoiser() = default;

std::unique_ptr<StreamDenoiser> StreamDenoiser::create(int rate, int channels,
                                                       const ProcessorFactory& factory,
                                                       std::string* error) {
    std::string dummy;
    if (!error) error = &dummy;
    // The resampler works on 32-bit rates; beyond a few MHz nothing is audio.
    if (rate < 1 || rate > 4'000'000) {
        *error = "unsupported sample rate " + std::to_string(rate) + " Hz";
        return nullptr;
    }
    if (channels < 1 || channels > 1024) {
        *error = "unsupported channel count " + std::to_string(channels);
        return nullptr;
    }
    std::unique_ptr<StreamDenoiser> d(new StreamDenoiser(rate, channels));
    for (int c = 0; c < channels; ++c) {
        auto chain = ChannelChain::create(rate, factory, error);
        if (!chain) return nullptr;
        d->chains_.push_back(std::move(chain));
    }
    return d;
}

void StreamDenoiser::push(const float* in, size_t frames, std::vector<float>& out) {
    if (finished_) return;
    // Slices of at most about 4096 samples at 32 kHz, so the chain's working
    // areas stay small even at very low stream rates.
    while (frames > 0) {
        size_t n = std::min(frames, sliceFrames());
        mono_.resize(n);
        for (int c = 0; c < channels_; ++c) {
            for (size_t i = 0; i < n; ++i) mono_[i] = in[i * channels_ + c];
            chains_[c]->push(mono_.data(), n);
        }
        fed_ += n;
        collect(out, fed_ - emitted_);
        in += n * channels_;
        frames -= n;
    }
}

size_t StreamDenoiser::sliceFrames() const {
    return std::max<size_t>(1, static_cast<size_t>(4096) * rate_ / kProcessRate);
}

// Interleaves what every channel has ready, at most `limit` frames, and
// keeps the rest for the next call.
void StreamDenoiser::collect(std::vector<float>& out, size_t limit) {
    size_t ready = limit;
    for (auto& ch : chains_) ready = std::min(ready, ch->pending().size());
    if (ready == 0) return;
    size_t base = out.size();
    out.resize(base + ready * channels_);
    for (int c = 0; c < channels_; ++c) {
        auto& p = chains_[c]->pending();
        for (size_t i = 0; i < ready; ++i) out[base + i * channels_ + c] = p[i];
        p.erase(p.begin(), p.begin() + static_cast<std::ptrdiff_t>(ready));
    }
    emitted_ += ready;
}

bool StreamDenoiser::finish(std::vector<float>& out) {
    if (finished_) return emitted_ == fed_;
    finished_ = true;
    // The chain holds at most the processor's delay plus one block at 32 kHz
    // and half a filter length in each resampler; zeros for one second of
    // audio plus that margin are far more than it needs to drain.
    const uint64_t limit = static_cast<uint64_t>(rate_) + 16 * kBlockSamples + 8192;
    const size_t step = std::min<size_t>(1024, sliceFrames());
    std::vector<float> zeros(step, 0.0f);
    uint64_t padded = 0;
    while (emitted_ < fed_) {
        if (padded >= limit) return false;
        for (auto& ch : chains_) ch->push(zeros.data(), step);
        padded += step;
        collect(out, fed_ - emitted_);
    }
    for (auto& ch : chains_) ch->pending().clear();
    return true;
}

}  // namespace sonvale::denoise
