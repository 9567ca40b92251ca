#pragma once
// The message frame on every client connection: marker 42, a signed 16-bit
// little-endian length (type byte plus payload), a type byte and the payload.
// Builders return complete frames; readers never read past the frame they are given.

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace toruna::protocol {

inline constexpr uint8_t kFrameMarker = 42;
inline constexpr size_t kHeaderSize = 3;  // marker and length

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

// Builders. Text arguments are the wire bytes (Windows-1252); see base::Cp1252.
namespace frames {
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

// A bounds-checked view of one complete frame (length + 3 bytes).
class FrameView {
 public:
  explicit FrameView(std::span<const uint8_t> frame) : bytes_(frame) {}
  std::span<const uint8_t> Bytes() const { return bytes_; }
  int16_t Length() const;   // the length field
  uint8_t Type() const;     // 0 when the frame has no type byte
  // Fields at an offset from the marker; nullopt when they would pass the end.
  std::optional<int32_t> Int32At(size_t offset) const;
  std::optional<int16_t> Int16At(size_t offset) const;
  std::optional<uint8_t> ByteAt(size_t offset) const;
  std::span<const uint8_t> BytesFrom(size_t offset) const;  // empty past the end

 private:
  std::span<const uint8_t> bytes_;
};

// Little-endian helpers for builders and readers.
void PutInt16(uint8_t* at, int16_t value);
void PutInt32(uint8_t* at, int32_t value);
int16_t GetInt16(const uint8_t* at);
int32_t GetInt32(const uint8_t* at);

}  // namespace toruna::protocol
