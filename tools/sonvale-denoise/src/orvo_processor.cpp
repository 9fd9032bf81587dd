// BlockProcessor over one orvo_alg instance.
#include <orvo_alg.h>

#include "denoise_core.h"

namespace sonvale::denoise {

namespace {

static_assert(NS_ALG_BLOCK_SAMPLES == kBlockSamples);
static_assert(NS_ALG_SAMPLE_RATE == kProcessRate);

class OrvoProcessor final : public BlockProcessor {
public:
    explicit OrvoProcessor(void* handle) : handle_(handle) {}
    ~OrvoProcessor() override { ns_alg_destroy(handle_); }
    OrvoProcessor(const OrvoProcessor&) = delete;
    OrvoProcessor& operator=(const OrvoProcessor&) = delete;

    void process(const int16_t* in, int16_t* out) override { ns_alg_process(handle_, in, out); }
    int delay() const override { return NS_ALG_DELAY_SAMPLES; }

private:
    void* handle_;
};

}  // namespace

std::unique_ptr<BlockProcessor> makeOrvoProcessor() {
    void* handle = ns_alg_init();
    if (!handle) return nullptr;
    return std::make_unique<OrvoProcessor>(handle);
}

}  // namespace sonvale::denoise
