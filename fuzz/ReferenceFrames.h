#pragma once
// The frame stream read the plain way, as the oracle of the reassembly targets:
// all bytes in one flat array and an offset, no buffer management at all.

#include <cstdint>
#include <vector>

namespace toruna::fuzz {

class ReferenceFrames {
 public:
  enum class Status { Ok, LostSync, NegativeLength };

  // Appends bytes and returns the frames they complete, in order (frames of
  // length 0 included, as their 3 bytes). After a loss of sync nothing more.
  std::vector<std::vector<uint8_t>> Feed(const uint8_t* bytes, size_t count) {
    std::vector<std::vector<uint8_t>> out;
    if (status_ != Status::Ok) return out;
    stream_.insert(stream_.end(), bytes, bytes + count);
    for (;;) {
      const size_t left = stream_.size() - at_;
      if (left < 3) break;
      if (stream_[at_] != 42) {
        status_ = Status::LostSync;
        break;
      }
      const int length = static_cast<int16_t>(stream_[at_ + 1] | (stream_[at_ + 2] << 8));
      if (length < 0) {
        status_ = Status::NegativeLength;
        break;
      }
      const size_t size = 3 + static_cast<size_t>(length);
      if (left < size) break;
      out.emplace_back(stream_.begin() + static_cast<std::ptrdiff_t>(at_),
                       stream_.begin() + static_cast<std::ptrdiff_t>(at_ + size));
      at_ += size;
    }
    return out;
  }

  Status State() const { return status_; }
  // Bytes received and not yet part of a complete frame.
  size_t Held() const { return stream_.size() - at_; }

 private:
  std::vector<uint8_t> stream_;
  size_t at_ = 0;
  Status status_ = Status::Ok;
};

}  // namespace toruna::fuzz
