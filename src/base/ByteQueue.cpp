#include "base/ByteQueue.h"

#include "base/BlockPool.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <limits>
#include <new>

namespace toruna::base {

namespace {

// Compact once the consumed prefix is both large and most of the buffer: each
// byte is then moved at most a bounded number of times over its life.
constexpr size_t kCompactMinimum = 4096;
constexpr size_t kMaxCapacity = std::numeric_limits<uint32_t>::max();

// Buffers up to a pool's largest block come from the pools (the size rounded up to
// the block's), larger ones from the heap; the capacity tells which.
uint8_t* AllocateBuffer(size_t& capacity) {
  if (TORUNA_POOLS_ENABLED && capacity <= BlockPool::kLargestBlock) {
    capacity = BlockPool::BlockSizeFor(capacity);
    return static_cast<uint8_t*>(BlockPool::ForSize(capacity).Allocate());
  }
  auto* buffer = static_cast<uint8_t*>(std::malloc(capacity));
  if (buffer == nullptr) throw std::bad_alloc();
  return buffer;
}

void FreeBuffer(uint8_t* buffer, size_t capacity) {
  if (buffer == nullptr) return;
  if (TORUNA_POOLS_ENABLED && capacity <= BlockPool::kLargestBlock) {
    BlockPool::Free(buffer);
  } else {
    std::free(buffer);
  }
}

}  // namespace

ByteQueue::~ByteQueue() { FreeBuffer(buffer_, capacity_); }

void ByteQueue::MakeRoom(size_t count) {
  const size_t held = size();
  if (count > kMaxCapacity - held) throw std::bad_alloc();
  const size_t needed = held + count;
  if (needed <= capacity_ && head_ >= held) {
    // Enough room once the consumed prefix is gone, and moving the rest is cheap.
    std::memmove(buffer_, buffer_ + head_, held);
  } else {
    size_t grown = std::max<size_t>(needed, std::min<size_t>(size_t{capacity_} * 2, kMaxCapacity));
    // A queue that gave its buffer back is likely to fill as far again.
    if (capacity_ == 0) grown = std::max<size_t>(grown, hint_);
    uint8_t* fresh = AllocateBuffer(grown);
    if (held != 0) std::memcpy(fresh, buffer_ + head_, held);
    FreeBuffer(buffer_, capacity_);
    buffer_ = fresh;
    capacity_ = static_cast<uint32_t>(grown);
  }
  head_ = 0;
  end_ = static_cast<uint32_t>(held);
}

void ByteQueue::AppendGrowing(const uint8_t* bytes, size_t count) {
  if (count == 0) return;
  if (capacity_ - end_ < count) {
    std::less<const uint8_t*> before;
    if (buffer_ != nullptr && !before(bytes, buffer_ + head_) && before(bytes, buffer_ + end_)) {
      // Our own bytes: making room moves them; find them again afterwards.
      const size_t offset = static_cast<size_t>(bytes - (buffer_ + head_));
      MakeRoom(count);
      bytes = buffer_ + offset;
    } else {
      MakeRoom(count);
    }
  }
  std::memcpy(buffer_ + end_, bytes, count);
  end_ += static_cast<uint32_t>(count);
  NotePeak();
}

void ByteQueue::Consume(size_t count) {
  count = std::min(count, size());
  head_ += static_cast<uint32_t>(count);
  if (head_ == end_) {
    head_ = 0;
    end_ = 0;
  } else if (head_ > kCompactMinimum && head_ > end_ / 2) {
    const size_t held = size();
    std::memmove(buffer_, buffer_ + head_, held);
    head_ = 0;
    end_ = static_cast<uint32_t>(held);
  }
}

void ByteQueue::Clear() {
  head_ = 0;
  end_ = 0;
}

void ByteQueue::ReleaseIdleMemory() {
  if (!empty() || buffer_ == nullptr) return;
  hint_ = peak_;
  peak_ = 0;
  FreeBuffer(buffer_, capacity_);
  buffer_ = nullptr;
  capacity_ = 0;
  head_ = 0;
  end_ = 0;
}

}  // namespace toruna::base
