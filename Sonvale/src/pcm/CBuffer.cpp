#include "pcm/CBuffer.h"

#include <cstring>

namespace sonvale {

void CBuffer::reset() {
    begin_ = nullptr;
    end_ = nullptr;
    capacity_ = 0;
}

void CBuffer::attach(char* storage, std::int32_t capacity) {
    if (capacity < 0 || (storage == nullptr && capacity > 0)) {
        reset();
        return;
    }
    begin_ = storage;
    end_ = storage;
    capacity_ = capacity;
}

std::int32_t CBuffer::size() const {
    if (begin_ == nullptr) return 0;
    return static_cast<std::int32_t>(end_ - begin_);
}

bool CBuffer::append(const void* source, std::uint32_t length) {
    if (length == 0 || source == nullptr) return false;
    // Refuse rather than write past the storage: the queue stays as it was.
    if (length > static_cast<std::uint32_t>(freeSpace())) return false;
    std::memcpy(end_, source, length);
    end_ += length;
    return true;
}

std::uint32_t CBuffer::consume(std::uint32_t n) {
    if (n > static_cast<std::uint32_t>(capacity_)) return 0;
    const auto stored = static_cast<std::uint32_t>(size());
    if (n > stored) n = stored;
    if (n != 0) {
        // The rest overlaps the freed front, hence memmove.
        std::memmove(begin_, begin_ + n, stored - n);
        end_ -= n;
    }
    return n;
}

}  // namespace sonvale
