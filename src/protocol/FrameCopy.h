#pragma once
// A frame's own copy, on the stack up to kSmall bytes (every value and request
// frame), on the heap beyond: handling a frame may append to the buffer it came
// from, so no view into that buffer is kept across the handling.

#include <algorithm>
#include <array>
#include <cstdint>
#include <span>
#include <vector>

namespace toruna::protocol {

class FrameCopy {
 public:
  static constexpr size_t kSmall = 64;

  explicit FrameCopy(std::span<const uint8_t> frame) : size_(frame.size()) {
    uint8_t* out = small_.data();
    if (size_ > kSmall) {
      large_.resize(size_);
      out = large_.data();
    }
    std::copy(frame.begin(), frame.end(), out);
  }
  FrameCopy(const FrameCopy&) = delete;
  FrameCopy& operator=(const FrameCopy&) = delete;

  std::span<const uint8_t> Bytes() const {
    return {size_ > kSmall ? large_.data() : small_.data(), size_};
  }

 private:
  std::array<uint8_t, kSmall> small_;
  std::vector<uint8_t> large_;
  size_t size_;
};

}  // namespace toruna::protocol
