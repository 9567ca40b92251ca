#pragma once
// Reads a fuzz input as a script: bytes, small numbers and slices, taken from
// the front in order. An exhausted input keeps answering 0 and empty slices, so
// every target runs to its end on any input. FUZZ_CHECK fails the run loudly.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <span>
#include <vector>

#define FUZZ_CHECK(cond, what)                                                    \
  do {                                                                            \
    if (!(cond)) {                                                                \
      std::fprintf(stderr, "%s:%d: check failed: %s (%s)\n", __FILE__, __LINE__, \
                   #cond, what);                                                  \
      std::abort();                                                               \
    }                                                                             \
  } while (0)

namespace toruna::fuzz {

class FuzzInput {
 public:
  FuzzInput(const uint8_t* data, size_t size) : data_(data, size) {}

  bool Empty() const { return pos_ >= data_.size(); }
  size_t Remaining() const { return data_.size() - pos_; }

  uint8_t Byte() { return Empty() ? 0 : data_[pos_++]; }
  uint16_t U16() {
    const uint16_t low = Byte();
    return static_cast<uint16_t>(low | (Byte() << 8));
  }
  uint32_t U32() {
    const uint32_t low = U16();
    return low | (static_cast<uint32_t>(U16()) << 16);
  }
  uint64_t U64() {
    const uint64_t low = U32();
    return low | (static_cast<uint64_t>(U32()) << 32);
  }
  bool Bit() { return (Byte() & 1) != 0; }
  // A number below n (n > 0) from one byte.
  size_t Below(size_t n) { return Byte() % n; }

  // Up to n bytes (fewer when the input ends first).
  std::span<const uint8_t> Take(size_t n) {
    const size_t k = n < Remaining() ? n : Remaining();
    std::span<const uint8_t> out = data_.subspan(pos_, k);
    pos_ += k;
    return out;
  }
  // A slice whose length comes first, as one byte.
  std::span<const uint8_t> Slice() { return Take(Byte()); }
  std::span<const uint8_t> Rest() { return Take(Remaining()); }

 private:
  std::span<const uint8_t> data_;
  size_t pos_ = 0;
};

// Each slice in a heap block of its own and exactly its size, so that a read
// past its end is an out-of-bounds access the address sanitizer reports.
inline std::vector<uint8_t> ExactCopy(std::span<const uint8_t> bytes) {
  return std::vector<uint8_t>(bytes.begin(), bytes.end());
}

}  // namespace toruna::fuzz
