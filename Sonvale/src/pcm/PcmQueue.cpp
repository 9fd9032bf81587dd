#include "pcm/PcmQueue.h"

namespace sonvale {

PcmQueue::PcmQueue() : buffer_(std::make_unique<CBuffer>()), storage_(new char[kCapacity]) {
    buffer_->reset();
    buffer_->attach(storage_.get(), kCapacity);
}

PcmQueue::~PcmQueue() = default;

const char* PcmQueue::peek(std::uint32_t n, std::uint32_t& count) const {
    // A zero-length block is never handed out: a stage loop that consumed 0
    // bytes per round would otherwise never end.
    if (n == 0 || static_cast<std::uint32_t>(buffer_->size()) < n) {
        count = 0;
        return nullptr;
    }
    count = n;
    return buffer_->data(0);
}

std::uint32_t PcmQueue::consume(std::uint32_t n) { return buffer_->consume(n); }

bool PcmQueue::append(const void* source, std::uint32_t length) {
    return buffer_->append(source, length);
}

void PcmQueue::clear() { buffer_->clear(); }

std::int32_t PcmQueue::size() const { return buffer_->size(); }

std::int32_t PcmQueue::capacity() const { return buffer_->capacity(); }

std::int32_t PcmQueue::freeSpace() const { return buffer_->freeSpace(); }

}  // namespace sonvale
