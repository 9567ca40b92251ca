#include "net/ByteQueue.h"

#include <algorithm>
#include <functional>

namespace toruna::net {

namespace {

// Compact once the consumed prefix is both large and most of the buffer: each
// byte is then moved at most a bounded number of times over its life.
constexpr size_t kCompactMinimum = 4096;
// An empty queue gives back buffers above this size: a server holds one send and
// one receive queue per idle connection, and a burst must not stay behind in them.
// A batch of small frames fits, so steady traffic does not allocate per batch.
constexpr size_t kIdleKeep = 1024;

}  // namespace

void ByteQueue::Append(const uint8_t* bytes, size_t count) {
  if (count == 0) return;
  const uint8_t* begin = buffer_.data();
  std::less<const uint8_t*> before;
  if (!before(bytes, begin) && before(bytes, begin + buffer_.size())) {
    // Our own bytes: growing the buffer would move them under the copy.
    std::vector<uint8_t> copy(bytes, bytes + count);
    buffer_.insert(buffer_.end(), copy.begin(), copy.end());
    return;
  }
  buffer_.insert(buffer_.end(), bytes, bytes + count);
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
    std::vector<uint8_t>().swap(buffer_);
    head_ = 0;
  }
}

}  // namespace toruna::net
