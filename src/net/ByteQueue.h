#pragma once
// A FIFO of bytes. Taking bytes from the front moves an offset instead of copying
// the rest, and the buffer is compacted now and then, so a long transfer stays
// linear. This class owns its buffer.

#include <cstddef>
#include <cstdint>
#include <vector>

namespace toruna::net {

class ByteQueue {
 public:
  size_t size() const { return buffer_.size() - head_; }
  bool empty() const { return size() == 0; }
  const uint8_t* data() const { return buffer_.data() + head_; }

  void Append(const uint8_t* bytes, size_t count);
  // Removes count bytes from the front (count <= size()).
  void Consume(size_t count);
  void Clear();
  // Gives memory back when the queue is empty and its buffer is more than a few
  // bytes; the most it held is remembered, so that the next fill allocates once.
  void ReleaseIdleMemory();
  size_t Capacity() const { return buffer_.capacity(); }

 private:
  std::vector<uint8_t> buffer_;
  size_t head_ = 0;
  uint32_t peak_ = 0;      // most bytes held since the buffer was last given back
  uint32_t sizeHint_ = 0;  // peak_ at that time (bounded)
};

}  // namespace toruna::net
