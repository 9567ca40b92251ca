#include "net/ByteQueue.h"

#include <algorithm>
#include <functional>

namespace toruna::net {

namespace {

// Compact once the consumed prefix is both large and most of the buffer: each
// byte is then moved at most a bounded number of times over its life.
constexpr size_t kCompactMinimum = 4096;
// An empty queue gives back buffers above this size: a server holds one send and
// one receive queue per idle connection, and no burst may stay behind in them.
// A value frame (9 bytes) fits, so a steady trickle of values does not allocate.
constexpr size_t kIdleKeep = 16;
// Largest size remembered for the next fill.
constexpr size_t kHintLimit = 64 * 1024;

}  // namespace

void ByteQueue::Append(const uint8_t* bytes, size_t count) {
  if (count == 0) return;
  // A queue that gave its buffer back is likely to fill as far again.
  if (buffer_.capacity() == 0 && sizeHint_ > count) buffer_.reserve(sizeHint_);
  const uint8_t* begin = buffer_.data();
  std::less<const uint8_t*> before;
  if (!before(bytes, begin) && before(bytes, begin + buffer_.size())) {
    // Our own bytes: growing the buffer would move them under the copy.
    std::vector<uint8_t> copy(bytes, bytes + count);
    buffer_.insert(buffer_.end(), copy.begin(), copy.end());
  } else {
    buffer_.insert(buffer_.end(), bytes, bytes + count);
  }
  peak_ = static_cast<uint32_t>(std::max<size_t>(peak_, std::min(size(), kHintLimit)));
}

void ByteQueue::Consume(size_t count) {
  count = std::min(count, size());
  head_ += count;
  if (head_ == buffer_.size()) {
    buffer_.clear();
    head_ = 0;
  } else if (head_ > kCompactMinimum && head_ > buffer_.size() / 2) {
    buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(head_));
    head_ = 0;
  }
}

void ByteQueue::Clear() {
  buffer_.clear();
  head_ = 0;
}

void ByteQueue::ReleaseIdleMemory() {
  if (empty() && buffer_.capacity() > kIdleKeep) {
    sizeHint_ = peak_;
    peak_ = 0;
    std::vector<uint8_t>().swap(buffer_);
    head_ = 0;
  }
}

}  // namespace toruna::net
