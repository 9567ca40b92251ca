#pragma once
// A byte string in 16 bytes: up to 15 bytes are kept inline, longer ones on the
// heap. For a text held by every connection (the client's name), where
// std::string's 32 bytes would push the session into a larger pool class.
// This class owns its heap buffer.

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

namespace toruna::base {

class ShortBytes {
 public:
  static constexpr size_t kInline = 15;

  ShortBytes() = default;
  ~ShortBytes();
  ShortBytes(const ShortBytes&) = delete;
  ShortBytes& operator=(const ShortBytes&) = delete;

  void Assign(std::span<const uint8_t> bytes);
  size_t size() const;
  const uint8_t* data() const;
  std::span<const uint8_t> Bytes() const { return {data(), size()}; }
  std::string_view View() const { return {reinterpret_cast<const char*>(data()), size()}; }

 private:
  // The last byte is the inline length, or kOnHeap: then the first 8 bytes
  // hold the buffer's address and the next 4 its length.
  static constexpr uint8_t kOnHeap = 0xFF;
  bool OnHeap() const { return raw_[kInline] == kOnHeap; }
  uint8_t* HeapData() const;
  void Release();

  alignas(8) uint8_t raw_[kInline + 1] = {};
};

static_assert(sizeof(ShortBytes) == 16);

}  // namespace toruna::base
