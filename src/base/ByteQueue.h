#pragma once
// A FIFO of bytes. Taking bytes from the front moves an offset instead of copying
// the rest, and the buffer is compacted now and then, so a long transfer stays
// linear. An empty queue can give its buffer back entirely: a server holds a send
// and a receive queue per connection, most of them idle. This class owns its buffer.

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace toruna::base {

class ByteQueue {
 public:
  ByteQueue() = default;
  ~ByteQueue();
  ByteQueue(const ByteQueue&) = delete;
  ByteQueue& operator=(const ByteQueue&) = delete;

  size_t size() const { return end_ - head_; }
  bool empty() const { return end_ == head_; }
  const uint8_t* data() const { return buffer_ + head_; }

  void Append(const uint8_t* bytes, size_t count) {
    // The usual case, inline: there is room at the end.
    if (count != 0 && count <= capacity_ - end_) {
      std::memcpy(buffer_ + end_, bytes, count);
      end_ += static_cast<uint32_t>(count);
      NotePeak();
      return;
    }
    AppendGrowing(bytes, count);
  }
  // Removes count bytes from the front (count <= size()).
  void Consume(size_t count);
  void Clear();
  // Gives the buffer back when the queue is empty; the most it held since the last
  // time is remembered, so that the next fill allocates once.
  void ReleaseIdleMemory();
  // The same, only for a buffer larger than a busy connection reuses from one batch
  // to the next (a burst's): the owner calls it whenever the queue runs empty.
  void ReleaseIfLarge() {
    if (capacity_ > kKeptCapacity) ReleaseIdleMemory();
  }
  static constexpr uint32_t kKeptCapacity = 1024;
  size_t Capacity() const { return capacity_; }

 private:
  void AppendGrowing(const uint8_t* bytes, size_t count);
  // Room for count more bytes at the end, keeping the bytes held.
  void MakeRoom(size_t count);
  void NotePeak() {
    const size_t held = size();
    if (held > peak_) peak_ = static_cast<uint16_t>(held < 0xFFFF ? held : 0xFFFF);
  }

  uint8_t* buffer_ = nullptr;
  uint32_t head_ = 0;
  uint32_t end_ = 0;
  uint32_t capacity_ = 0;
  uint16_t peak_ = 0;  // most bytes held since the buffer was last given back (bounded)
  uint16_t hint_ = 0;  // peak_ at that time
};

}  // namespace toruna::base
