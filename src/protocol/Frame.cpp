#include "protocol/Frame.h"

#include <algorithm>

namespace toruna::protocol {

namespace {

// The length field is signed 16-bit, so a frame carries at most this many bytes
// after it; longer text is cut rather than wrapping the length into a negative.
constexpr size_t kMaxLength = 32767;

// A frame of the given type with room for fixedSize payload bytes followed by
// text; returns the frame and writes the header.
std::vector<uint8_t> Start(FrameType type, size_t fixedSize, std::span<const uint8_t> text) {
  size_t textSize = std::min(text.size(), kMaxLength - 1 - fixedSize);
  size_t length = 1 + fixedSize + textSize;
  std::vector<uint8_t> frame(kHeaderSize + length);
  frame[0] = kFrameMarker;
  PutInt16(&frame[1], static_cast<int16_t>(length));
  frame[3] = type;
  std::copy_n(text.begin(), textSize, frame.begin() + 4 + static_cast<std::ptrdiff_t>(fixedSize));
  return frame;
}

std::vector<uint8_t> IdFrame(FrameType type, int32_t id) {
  std::vector<uint8_t> frame = Start(type, 4, {});
  PutInt32(&frame[4], id);
  return frame;
}

}  // namespace

void PutInt16(uint8_t* at, int16_t value) {
  auto bits = static_cast<uint16_t>(value);
  at[0] = static_cast<uint8_t>(bits & 0xFF);
  at[1] = static_cast<uint8_t>(bits >> 8);
}

void PutInt32(uint8_t* at, int32_t value) {
  auto bits = static_cast<uint32_t>(value);
  for (int i = 0; i < 4; ++i) at[i] = static_cast<uint8_t>(bits >> (8 * i));
}

int16_t GetInt16(const uint8_t* at) {
  return static_cast<int16_t>(static_cast<uint16_t>(at[0] | (at[1] << 8)));
}

int32_t GetInt32(const uint8_t* at) {
  uint32_t bits = uint32_t{at[0]} | (uint32_t{at[1]} << 8) | (uint32_t{at[2]} << 16) |
                  (uint32_t{at[3]} << 24);
  return static_cast<int32_t>(bits);
}

namespace frames {

std::vector<uint8_t> EventData(int32_t eventId, uint8_t value) {
  std::vector<uint8_t> frame = Start(FrameType::EventData, 5, {});
  PutInt32(&frame[4], eventId);
  frame[8] = value;
  return frame;
}

std::vector<uint8_t> ClientInfoRequest(std::span<const uint8_t> name) {
  return Start(FrameType::ClientInfo, 0, name);
}

std::vector<uint8_t> ClientInfo(int32_t clientId, std::span<const uint8_t> name) {
  std::vector<uint8_t> frame = Start(FrameType::ClientInfo, 4, name);
  PutInt32(&frame[4], clientId);
  return frame;
}

std::vector<uint8_t> ClientGone(int32_t clientId) { return IdFrame(FrameType::ClientGone, clientId); }

std::vector<uint8_t> EventInfoRequest(int32_t requestId, int16_t interval, int16_t max,
                                      std::span<const uint8_t> text) {
  std::vector<uint8_t> frame = Start(FrameType::EventInfo, 8, text);
  PutInt32(&frame[4], requestId);
  PutInt16(&frame[8], interval);
  PutInt16(&frame[10], max);
  return frame;
}

std::vector<uint8_t> EventInfo(int32_t ownerId, int32_t eventId, int16_t interval, int16_t max,
                               std::span<const uint8_t> text) {
  std::vector<uint8_t> frame = Start(FrameType::EventInfo, 12, text);
  PutInt32(&frame[4], ownerId);
  PutInt32(&frame[8], eventId);
  PutInt16(&frame[12], interval);
  PutInt16(&frame[14], max);
  return frame;
}

std::vector<uint8_t> EventRemove(int32_t eventId) { return IdFrame(FrameType::EventRemove, eventId); }

std::vector<uint8_t> EventSubscribe(int32_t eventId, uint8_t flag) {
  std::vector<uint8_t> frame = Start(FrameType::EventSubscribe, 5, {});
  PutInt32(&frame[4], eventId);
  frame[8] = flag;
  return frame;
}

std::vector<uint8_t> EventCreated(int32_t requestId, int32_t eventId) {
  std::vector<uint8_t> frame = Start(FrameType::EventCreated, 8, {});
  PutInt32(&frame[4], requestId);
  PutInt32(&frame[8], eventId);
  return frame;
}

std::vector<uint8_t> ServerInfo(std::span<const uint8_t> name) {
  return Start(FrameType::ServerInfo, 0, name);
}

}  // namespace frames

int16_t FrameView::Length() const { return Int16At(1).value_or(0); }

uint8_t FrameView::Type() const {
  if (Length() < 1) return 0;  // a frame of length 0 (or below) has no type byte
  return ByteAt(3).value_or(0);
}

std::optional<int32_t> FrameView::Int32At(size_t offset) const {
  if (offset > bytes_.size() || bytes_.size() - offset < 4) return std::nullopt;
  return GetInt32(bytes_.data() + offset);
}

std::optional<int16_t> FrameView::Int16At(size_t offset) const {
  if (offset > bytes_.size() || bytes_.size() - offset < 2) return std::nullopt;
  return GetInt16(bytes_.data() + offset);
}

std::optional<uint8_t> FrameView::ByteAt(size_t offset) const {
  if (offset >= bytes_.size()) return std::nullopt;
  return bytes_[offset];
}

std::span<const uint8_t> FrameView::BytesFrom(size_t offset) const {
  if (offset >= bytes_.size()) return {};
  return bytes_.subspan(offset);
}

}  // namespace toruna::protocol
