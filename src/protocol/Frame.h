#pragma once
// The message frame on every client connection: marker 42, a signed 16-bit
// little-endian length (type byte plus payload), a type byte and the payload.
// Builders write complete frames; readers never read past the frame they are given.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace toruna::protocol {

inline constexpr uint8_t kFrameMarker = 42;
inline constexpr size_t kHeaderSize = 3;  // marker and length
// The length field is signed 16-bit, so a frame carries at most this many bytes
// after it; builders cut longer text rather than wrap the length into a negative.
inline constexpr size_t kMaxLength = 32767;

enum FrameType : uint8_t {
  EventData = 1,
  ClientInfo = 2,
  ClientGone = 3,
  EventInfo = 4,
  EventRemove = 5,
  EventSubscribe = 6,
  EventCreated = 7,
  ServerInfo = 8,
};

// Little-endian fields.
inline void PutInt16(uint8_t* at, int16_t value) {
  const auto bits = static_cast<uint16_t>(value);
  at[0] = static_cast<uint8_t>(bits & 0xFF);
  at[1] = static_cast<uint8_t>(bits >> 8);
}
inline void PutInt32(uint8_t* at, int32_t value) {
  const auto bits = static_cast<uint32_t>(value);
  for (int i = 0; i < 4; ++i) at[i] = static_cast<uint8_t>(bits >> (8 * i));
}
inline int16_t GetInt16(const uint8_t* at) {
  return static_cast<int16_t>(static_cast<uint16_t>(at[0] | (at[1] << 8)));
}
inline int32_t GetInt32(const uint8_t* at) {
  return static_cast<int32_t>(uint32_t{at[0]} | (uint32_t{at[1]} << 8) | (uint32_t{at[2]} << 16) |
                              (uint32_t{at[3]} << 24));
}

// Builders. Text arguments are the wire bytes (Windows-1252); see base::Cp1252.
// Each comes twice: writing into a caller's buffer (returning the frame's size,
// or 0 with nothing written when `out` is too small), and as a new vector.
namespace frames {

// The sizes of the fixed layouts, for buffers on the stack.
inline constexpr size_t kIdSize = 8;         // ClientGone, EventRemove
inline constexpr size_t kIdByteSize = 9;     // EventData, EventSubscribe
inline constexpr size_t kCreatedSize = 12;   // EventCreated
// The size of a frame with fixedSize payload bytes before textSize bytes of text
// (after the cut).
size_t SizeWithText(size_t fixedSize, size_t textSize);

size_t EventData(std::span<uint8_t> out, int32_t eventId, uint8_t value);
size_t ClientInfoRequest(std::span<uint8_t> out, std::span<const uint8_t> name);
size_t ClientInfo(std::span<uint8_t> out, int32_t clientId, std::span<const uint8_t> name);
size_t ClientGone(std::span<uint8_t> out, int32_t clientId);
size_t EventInfoRequest(std::span<uint8_t> out, int32_t requestId, int16_t interval, int16_t max,
                        std::span<const uint8_t> text);
size_t EventInfo(std::span<uint8_t> out, int32_t ownerId, int32_t eventId, int16_t interval,
                 int16_t max, std::span<const uint8_t> text);
size_t EventRemove(std::span<uint8_t> out, int32_t eventId);
size_t EventSubscribe(std::span<uint8_t> out, int32_t eventId, uint8_t flag);
size_t EventCreated(std::span<uint8_t> out, int32_t requestId, int32_t eventId);
size_t ServerInfo(std::span<uint8_t> out, std::span<const uint8_t> name);

std::vector<uint8_t> EventData(int32_t eventId, uint8_t value);
std::vector<uint8_t> ClientInfoRequest(std::span<const uint8_t> name);              // client -> server
std::vector<uint8_t> ClientInfo(int32_t clientId, std::span<const uint8_t> name);   // server -> client
std::vector<uint8_t> ClientGone(int32_t clientId);
// client -> server: text is name, optionally a 0 and the unit.
std::vector<uint8_t> EventInfoRequest(int32_t requestId, int16_t interval, int16_t max,
                                      std::span<const uint8_t> text);
// server -> client.
std::vector<uint8_t> EventInfo(int32_t ownerId, int32_t eventId, int16_t interval, int16_t max,
                               std::span<const uint8_t> text);
std::vector<uint8_t> EventRemove(int32_t eventId);
std::vector<uint8_t> EventSubscribe(int32_t eventId, uint8_t flag);
std::vector<uint8_t> EventCreated(int32_t requestId, int32_t eventId);
std::vector<uint8_t> ServerInfo(std::span<const uint8_t> name);

}  // namespace frames

// A bounds-checked view of one frame. It covers the frame its header declares
// (length + 3 bytes) and nothing after it, even when given more bytes; a frame
// cut short or with a negative length is viewed as given. No field read passes
// the end of the view.
class FrameView {
 public:
  explicit FrameView(std::span<const uint8_t> bytes) : bytes_(bytes) {
    const int16_t length = Length();
    if (length >= 0 && bytes_.size() > kHeaderSize + static_cast<size_t>(length)) {
      bytes_ = bytes_.first(kHeaderSize + static_cast<size_t>(length));
    }
  }
  std::span<const uint8_t> Bytes() const { return bytes_; }
  // The length field; 0 when the header is cut.
  int16_t Length() const { return bytes_.size() < kHeaderSize ? 0 : GetInt16(bytes_.data() + 1); }
  // The type byte; 0 when the frame has none (length 0 or below, or cut).
  uint8_t Type() const { return Length() < 1 ? 0 : ByteAt(3).value_or(0); }
  // Fields at an offset from the marker; nullopt when they would pass the end.
  std::optional<int32_t> Int32At(size_t offset) const {
    if (offset > bytes_.size() || bytes_.size() - offset < 4) return std::nullopt;
    return GetInt32(bytes_.data() + offset);
  }
  std::optional<int16_t> Int16At(size_t offset) const {
    if (offset > bytes_.size() || bytes_.size() - offset < 2) return std::nullopt;
    return GetInt16(bytes_.data() + offset);
  }
  std::optional<uint8_t> ByteAt(size_t offset) const {
    if (offset >= bytes_.size()) return std::nullopt;
    return bytes_[offset];
  }
  // The bytes from offset to the end of the frame; empty past the end.
  std::span<const uint8_t> BytesFrom(size_t offset) const {
    if (offset >= bytes_.size()) return {};
    return bytes_.subspan(offset);
  }

 private:
  std::span<const uint8_t> bytes_;
};

}  // namespace toruna::protocol
