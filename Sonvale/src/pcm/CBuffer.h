// A linear first-in-first-out byte store over storage that it does not own.
//
// The unread bytes always start at the beginning of the storage; consume()
// moves what is left down to the front. It is not a ring, so a stored block
// is always contiguous and can be handed to a converter by pointer.
//
// Not thread-safe: one thread at a time.
#pragma once

#include <cstdint>

namespace sonvale {

class CBuffer {
public:
    CBuffer() = default;
    virtual ~CBuffer() = default;

    CBuffer(const CBuffer&) = delete;
    CBuffer& operator=(const CBuffer&) = delete;

    // Forgets the storage (without freeing it): same state as after construction.
    void reset();
    // Uses `storage` of `capacity` bytes, empty. A negative capacity or a null
    // storage with a positive capacity leaves the buffer detached.
    void attach(char* storage, std::int32_t capacity);

    // Number of stored bytes; 0 while detached.
    std::int32_t size() const;
    std::int32_t capacity() const { return capacity_; }
    // Bytes that can still be appended.
    std::int32_t freeSpace() const { return capacity_ - size(); }
    // begin + offset, unchecked.
    char* data(std::uint32_t offset = 0) const { return begin_ + offset; }

    // Copies `length` bytes behind the stored ones. Returns false and changes
    // nothing when `length` is 0, `source` is null, or the bytes would not fit
    // in the free space; the caller can count such a refusal as lost audio.
    bool append(const void* source, std::uint32_t length);
    // Removes up to `n` bytes from the front and returns how many went. A count
    // above the capacity removes nothing and returns 0.
    std::uint32_t consume(std::uint32_t n);
    // Drops the content, keeps the storage.
    void clear() { end_ = begin_; }

private:
    char* begin_ = nullptr;
    char* end_ = nullptr;
    std::int32_t capacity_ = 0;
};

}  // namespace sonvale
