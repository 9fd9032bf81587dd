// A CBuffer together with its own 65535-byte storage: the queue between two
// stages of a streaming loop.
//
// Stage pattern: while (p = peek(B, n)) { process B bytes at p; append the
// result to the next queue; consume(B); }. peek never hands out a partial
// block, so whatever is shorter than a block waits for the next pass.
//
// Allocates only in the constructor. Not thread-safe: one thread at a time.
#pragma once

#include <cstdint>
#include <memory>

#include "pcm/CBuffer.h"

namespace sonvale {

class PcmQueue {
public:
    static constexpr std::int32_t kCapacity = 0xFFFF;  // 65535 bytes

    PcmQueue();
    ~PcmQueue();

    PcmQueue(const PcmQueue&) = delete;
    PcmQueue& operator=(const PcmQueue&) = delete;

    // The first `n` stored bytes, not removed: sets `count` to `n` and returns
    // the pointer, or sets `count` to 0 and returns null when fewer than `n`
    // bytes are stored or `n` is 0.
    const char* peek(std::uint32_t n, std::uint32_t& count) const;
    // See CBuffer::consume.
    std::uint32_t consume(std::uint32_t n);
    // See CBuffer::append: refuses (false, queue unchanged) what would not fit.
    bool append(const void* source, std::uint32_t length);
    void clear();

    std::int32_t size() const;
    std::int32_t capacity() const;
    std::int32_t freeSpace() const;

private:
    std::unique_ptr<CBuffer> buffer_;
    std::unique_ptr<char[]> storage_;
};

}  // namespace sonvale
