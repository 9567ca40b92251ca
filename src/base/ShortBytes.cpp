#include "base/ShortBytes.h"

#include <cstring>
#include <limits>
#include <new>

namespace toruna::base {

ShortBytes::~ShortBytes() { Release(); }

uint8_t* ShortBytes::HeapData() const {
  uint8_t* heap = nullptr;
  std::memcpy(&heap, raw_, sizeof heap);
  return heap;
}

void ShortBytes::Release() {
  if (OnHeap()) delete[] HeapData();
  raw_[kInline] = 0;
}

size_t ShortBytes::size() const {
  if (!OnHeap()) return raw_[kInline];
  uint32_t length = 0;
  std::memcpy(&length, raw_ + sizeof(uint8_t*), sizeof length);
  return length;
}

const uint8_t* ShortBytes::data() const { return OnHeap() ? HeapData() : raw_; }

void ShortBytes::Assign(std::span<const uint8_t> bytes) {
  if (bytes.size() > std::numeric_limits<uint32_t>::max()) throw std::bad_alloc();
  // Made before the old buffer goes: the bytes may be our own.
  uint8_t* heap = nullptr;
  if (bytes.size() > kInline) {
    heap = new uint8_t[bytes.size()];
    std::memcpy(heap, bytes.data(), bytes.size());
  } else {
    uint8_t copy[kInline];
    if (!bytes.empty()) std::memcpy(copy, bytes.data(), bytes.size());
    Release();
    if (!bytes.empty()) std::memcpy(raw_, copy, bytes.size());
    raw_[kInline] = static_cast<uint8_t>(bytes.size());
    return;
  }
  Release();
  const auto length = static_cast<uint32_t>(bytes.size());
  std::memcpy(raw_, &heap, sizeof heap);
  std::memcpy(raw_ + sizeof heap, &length, sizeof length);
  raw_[kInline] = kOnHeap;
}

}  // namespace toruna::base
