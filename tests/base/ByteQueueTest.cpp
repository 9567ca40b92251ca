#include "base/ByteQueue.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <numeric>

namespace toruna::base {
namespace {

std::vector<uint8_t> Sequence(size_t count, uint8_t start = 0) {
  std::vector<uint8_t> v(count);
  std::iota(v.begin(), v.end(), start);
  return v;
}

std::vector<uint8_t> Contents(const ByteQueue& q) { return {q.data(), q.data() + q.size()}; }

TEST(ByteQueueTest, KeepsBytesInOrderAcrossAppendsAndConsumes) {
  ByteQueue q;
  EXPECT_TRUE(q.empty());
  auto a = Sequence(5, 0);
  auto b = Sequence(3, 100);
  q.Append(a.data(), a.size());
  q.Append(b.data(), b.size());
  EXPECT_EQ(q.size(), 8u);
  q.Consume(2);
  EXPECT_EQ(Contents(q), (std::vector<uint8_t>{2, 3, 4, 100, 101, 102}));
  q.Consume(6);
  EXPECT_TRUE(q.empty());
  q.Append(a.data(), 1);
  EXPECT_EQ(Contents(q), std::vector<uint8_t>{0});
  q.Consume(5);  // more than held takes what is there
  EXPECT_TRUE(q.empty());
  q.Append(nullptr, 0);
  EXPECT_TRUE(q.empty());
}

// A long stream taken in small pieces: the contents stay right through the
// compactions, and the buffer stays bounded by what is actually held.
TEST(ByteQueueTest, LongStreamStaysCorrectAndBounded) {
  ByteQueue q;
  uint8_t next_in = 0, next_out = 0;
  for (int round = 0; round < 2000; ++round) {
    std::vector<uint8_t> chunk(1000);
    for (auto& byte : chunk) byte = next_in++;
    q.Append(chunk.data(), chunk.size());
    size_t take = std::min<size_t>(q.size(), 990);
    for (size_t i = 0; i < take; ++i) ASSERT_EQ(q.data()[i], static_cast<uint8_t>(next_out + i));
    next_out = static_cast<uint8_t>(next_out + take);
    q.Consume(take);
  }
  EXPECT_EQ(q.size(), 2000u * 10u);
  // Without compaction the buffer would hold all 2 MB ever appended.
  EXPECT_LT(q.Capacity(), 256u * 1024u);
}

TEST(ByteQueueTest, AppendingItsOwnBytes) {
  ByteQueue q;
  auto a = Sequence(4, 1);
  q.Append(a.data(), a.size());
  q.Append(q.data(), q.size());
  EXPECT_EQ(Contents(q), (std::vector<uint8_t>{1, 2, 3, 4, 1, 2, 3, 4}));
}

TEST(ByteQueueTest, ClearAndIdleMemory) {
  ByteQueue q;
  auto big = Sequence(200000);
  q.Append(big.data(), big.size());
  q.ReleaseIdleMemory();  // not empty: nothing is given back
  EXPECT_EQ(q.size(), big.size());
  EXPECT_GE(q.Capacity(), big.size());

  q.Clear();
  EXPECT_TRUE(q.empty());
  q.ReleaseIdleMemory();
  EXPECT_EQ(q.Capacity(), 0u);  // an idle connection keeps no burst behind

  // A queue that held a burst and then a trickle forgets the burst.
  auto small = Sequence(9);
  q.Append(small.data(), small.size());
  q.Consume(small.size());
  q.ReleaseIdleMemory();
  EXPECT_EQ(q.Capacity(), 0u);
  q.Append(small.data(), small.size());
  EXPECT_LT(q.Capacity(), 64u) << "the refill after a trickle is sized by the trickle";
  q.Consume(small.size());
  q.ReleaseIdleMemory();
  EXPECT_EQ(q.Capacity(), 0u);
  q.Append(small.data(), 3);
  EXPECT_EQ(Contents(q), (std::vector<uint8_t>{0, 1, 2}));
}

TEST(ByteQueueTest, RefillAfterReleaseAllocatesTheEarlierSizeAtOnce) {
  ByteQueue q;
  auto frame = Sequence(9);
  for (int i = 0; i < 60; ++i) q.Append(frame.data(), frame.size());
  q.Consume(q.size());
  q.ReleaseIdleMemory();
  EXPECT_EQ(q.Capacity(), 0u);

  q.Append(frame.data(), frame.size());
  const size_t refilled = q.Capacity();
  EXPECT_GE(refilled, 540u);
  for (int i = 1; i < 60; ++i) q.Append(frame.data(), frame.size());
  EXPECT_EQ(q.Capacity(), refilled);  // no growth on the way
  EXPECT_EQ(q.size(), 540u);
  EXPECT_EQ(Contents(q)[539], 8);
}

}  // namespace
}  // namespace toruna::base
