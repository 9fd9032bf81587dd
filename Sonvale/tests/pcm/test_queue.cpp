// PcmQueue and CBuffer checked against a plain model of the byte stream: every
// step's result and the whole stored content are compared after each step.
#include <gtest/gtest.h>

#include <cstring>
#include <ostream>
#include <string>
#include <vector>

#include "pcm/CBuffer.h"
#include "pcm/PcmQueue.h"

namespace sonvale {
namespace {

enum class Op { Append, Peek, Consume, Clear };

struct Step {
    Op op;
    std::uint32_t n;
    std::uint32_t expect;  // append: 1/0, peek: count, consume: bytes removed, clear: unused
};

struct QueueCase {
    std::string name;
    std::vector<Step> steps;
};

constexpr std::uint32_t kCap = PcmQueue::kCapacity;

std::vector<QueueCase> queueCases() {
    return {
        {"FreshQueueIsEmpty", {{Op::Peek, 1, 0}, {Op::Consume, 1, 0}}},
        {"PeekWaitsForWholeBlock",
         {{Op::Append, 1000, 1},
          {Op::Peek, 1920, 0},
          {Op::Append, 920, 1},
          {Op::Peek, 1920, 1920}}},
        {"ConsumeMovesRestToFront",
         {{Op::Append, 2000, 1}, {Op::Consume, 1920, 1920}, {Op::Peek, 80, 80}}},
        {"ConsumeMoreThanStoredTakesAll",
         {{Op::Append, 80, 1}, {Op::Consume, 5000, 80}, {Op::Peek, 1, 0}}},
        {"ConsumeMoreThanCapacityTakesNothing",
         {{Op::Append, 100, 1}, {Op::Consume, kCap + 1, 0}, {Op::Consume, 0xFFFFFFFFu, 0}}},
        {"ConsumeExactlyCapacity", {{Op::Append, kCap, 1}, {Op::Consume, kCap, kCap}}},
        {"AppendZeroIsRefused", {{Op::Append, 10, 1}, {Op::Append, 0, 0}, {Op::Peek, 10, 10}}},
        {"PeekZeroHandsOutNothing", {{Op::Append, 10, 1}, {Op::Peek, 0, 0}}},
        {"ClearThenActsFresh",
         {{Op::Append, 500, 1},
          {Op::Clear, 0, 0},
          {Op::Peek, 1, 0},
          {Op::Append, kCap, 1},
          {Op::Peek, kCap, kCap}}},
        {"AppendThatWouldNotFitIsRefusedWhole",
         {{Op::Append, 65000, 1},
          {Op::Append, 536, 0},
          {Op::Append, 535, 1},
          {Op::Append, 1, 0},
          {Op::Consume, 1, 1},
          {Op::Append, 1, 1}}},
        {"SingleAppendLargerThanCapacity", {{Op::Append, kCap + 1, 0}, {Op::Peek, 1, 0}}},
        {"StagePatternLeavesRemainder",
         {{Op::Append, 3000, 1},
          {Op::Peek, 960, 960},
          {Op::Consume, 960, 960},
          {Op::Peek, 960, 960},
          {Op::Consume, 960, 960},
          {Op::Peek, 960, 960},
          {Op::Consume, 960, 960},
          {Op::Peek, 960, 0},
          {Op::Append, 900, 1},
          {Op::Peek, 960, 960}}},
    };
}

void PrintTo(const QueueCase& c, std::ostream* os) { *os << c.name; }

class QueueTable : public ::testing::TestWithParam<QueueCase> {};

TEST_P(QueueTable, MatchesModel) {
    PcmQueue queue;
    std::vector<char> model;
    std::uint32_t next = 0;  // running pattern so order and position are checked

    for (std::size_t i = 0; i < GetParam().steps.size(); ++i) {
        const Step& s = GetParam().steps[i];
        SCOPED_TRACE("step " + std::to_string(i));
        switch (s.op) {
            case Op::Append: {
                std::vector<char> bytes(s.n);
                for (auto& b : bytes) b = static_cast<char>((next++ * 131u + 7u) >> 3);
                const bool ok = queue.append(bytes.data(), s.n);
                EXPECT_EQ(ok, s.expect != 0);
                if (ok) model.insert(model.end(), bytes.begin(), bytes.end());
                break;
            }
            case Op::Peek: {
                std::uint32_t count = 12345;
                const char* p = queue.peek(s.n, count);
                EXPECT_EQ(count, s.expect);
                EXPECT_EQ(p != nullptr, s.expect != 0);
                if (p != nullptr) {
                    EXPECT_EQ(0, std::memcmp(p, model.data(), count));
                }
                break;
            }
            case Op::Consume: {
                EXPECT_EQ(queue.consume(s.n), s.expect);
                model.erase(model.begin(), model.begin() + s.expect);
                break;
            }
            case Op::Clear:
                queue.clear();
                model.clear();
                break;
        }
        ASSERT_EQ(queue.size(), static_cast<std::int32_t>(model.size()));
        EXPECT_EQ(queue.capacity(), PcmQueue::kCapacity);
        EXPECT_EQ(queue.freeSpace(), PcmQueue::kCapacity - queue.size());
        std::uint32_t count = 0;
        if (!model.empty()) {
            const char* all = queue.peek(static_cast<std::uint32_t>(model.size()), count);
            ASSERT_NE(all, nullptr);
            EXPECT_EQ(0, std::memcmp(all, model.data(), model.size()));
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, QueueTable, ::testing::ValuesIn(queueCases()),
                         [](const auto& info) { return info.param.name; });

// CBuffer over borrowed storage with guard bytes on both sides: nothing may
// be written outside [begin, begin + capacity), whatever is asked.
TEST(CBuffer, NeverWritesOutsideAttachedStorage) {
    constexpr std::int32_t kSmall = 16;
    std::vector<char> block(kSmall + 16, '\x5A');
    CBuffer buffer;
    buffer.attach(block.data() + 8, kSmall);

    const std::string payload(40, 'x');
    struct {
        std::uint32_t length;
        bool ok;
        std::int32_t sizeAfter;
    } const appends[] = {
        {10, true, 10}, {7, false, 10}, {6, true, 16}, {1, false, 16}, {0, false, 16}};
    for (const auto& a : appends) {
        EXPECT_EQ(buffer.append(payload.data(), a.length), a.ok) << a.length;
        EXPECT_EQ(buffer.size(), a.sizeAfter);
    }
    EXPECT_FALSE(buffer.append(nullptr, 1));
    for (int i = 0; i < 8; ++i) {
        EXPECT_EQ(block[i], '\x5A');
        EXPECT_EQ(block[8 + kSmall + i], '\x5A');
    }
}

TEST(CBuffer, DetachedAndResetStatesHoldNothing) {
    char storage[8];
    CBuffer buffer;
    for (int round = 0; round < 2; ++round) {
        EXPECT_EQ(buffer.size(), 0);
        EXPECT_EQ(buffer.capacity(), 0);
        EXPECT_FALSE(buffer.append("ab", 2));
        EXPECT_EQ(buffer.consume(1), 0u);
        EXPECT_EQ(buffer.consume(0), 0u);
        buffer.attach(storage, 8);
        EXPECT_TRUE(buffer.append("abc", 3));
        EXPECT_EQ(buffer.size(), 3);
        buffer.reset();
    }
    // Storage that cannot be used leaves the buffer detached.
    buffer.attach(nullptr, 8);
    EXPECT_EQ(buffer.capacity(), 0);
    buffer.attach(storage, -1);
    EXPECT_EQ(buffer.capacity(), 0);
}

}  // namespace
}  // namespace sonvale
