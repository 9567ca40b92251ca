#include "protocol/Frame.h"

#include <algorithm>

namespace toruna::protocol::frames {

namespace {

size_t TextSize(size_t fixedSize, std::span<const uint8_t> text) {
  return std::min(text.size(), kMaxLength - 1 - fixedSize);
}

// Writes the header, the type and the (cut) text after fixedSize payload bytes,
// which the caller fills; returns the size, or 0 when out is too small.
size_t Start(std::span<uint8_t> out, FrameType type, size_t fixedSize,
             std::span<const uint8_t> text = {}) {
  const size_t textSize = TextSize(fixedSize, text);
  const size_t length = 1 + fixedSize + textSize;
  if (out.size() < kHeaderSize + length) return 0;
  out[0] = kFrameMarker;
  PutInt16(&out[1], static_cast<int16_t>(length));
  out[3] = type;
  std::copy_n(text.begin(), textSize, out.begin() + 4 + static_cast<std::ptrdiff_t>(fixedSize));
  return kHeaderSize + length;
}

size_t IdFrame(std::span<uint8_t> out, FrameType type, int32_t id) {
  const size_t size = Start(out, type, 4);
  if (size != 0) PutInt32(&out[4], id);
  return size;
}

size_t IdByteFrame(std::span<uint8_t> out, FrameType type, int32_t id, uint8_t byte) {
  const size_t size = Start(out, type, 5);
  if (size != 0) {
    PutInt32(&out[4], id);
    out[8] = byte;
  }
  return size;
}

// A vector holding exactly the frame that write puts there.
template <class Write>
std::vector<uint8_t> Built(size_t size, Write write) {
  std::vector<uint8_t> frame(size);
  write(std::span<uint8_t>(frame));
  return frame;
}

}  // namespace

size_t SizeWithText(size_t fixedSize, size_t textSize) {
  return kHeaderSize + 1 + fixedSize + std::min(textSize, kMaxLength - 1 - fixedSize);
}

size_t EventData(std::span<uint8_t> out, int32_t eventId, uint8_t value) {
  return IdByteFrame(out, FrameType::EventData, eventId, value);
}

size_t ClientInfoRequest(std::span<uint8_t> out, std::span<const uint8_t> name) {
  return Start(out, FrameType::ClientInfo, 0, name);
}

size_t ClientInfo(std::span<uint8_t> out, int32_t clientId, std::span<const uint8_t> name) {
  const size_t size = Start(out, FrameType::ClientInfo, 4, name);
  if (size != 0) PutInt32(&out[4], clientId);
  return size;
}

size_t ClientGone(std::span<uint8_t> out, int32_t clientId) {
  return IdFrame(out, FrameType::ClientGone, clientId);
}

size_t EventInfoRequest(std::span<uint8_t> out, int32_t requestId, int16_t interval, int16_t max,
                        std::span<const uint8_t> text) {
  const size_t size = Start(out, FrameType::EventInfo, 8, text);
  if (size != 0) {
    PutInt32(&out[4], requestId);
    PutInt16(&out[8], interval);
    PutInt16(&out[10], max);
  }
  return size;
}

size_t EventInfo(std::span<uint8_t> out, int32_t ownerId, int32_t eventId, int16_t interval,
                 int16_t max, std::span<const uint8_t> text) {
  const size_t size = Start(out, FrameType::EventInfo, 12, text);
  if (size != 0) {
    PutInt32(&out[4], ownerId);
    PutInt32(&out[8], eventId);
    PutInt16(&out[12], interval);
    PutInt16(&out[14], max);
  }
  return size;
}

size_t EventRemove(std::span<uint8_t> out, int32_t eventId) {
  return IdFrame(out, FrameType::EventRemove, eventId);
}

size_t EventSubscribe(std::span<uint8_t> out, int32_t eventId, uint8_t flag) {
  return IdByteFrame(out, FrameType::EventSubscribe, eventId, flag);
}

size_t EventCreated(std::span<uint8_t> out, int32_t requestId, int32_t eventId) {
  const size_t size = Start(out, FrameType::EventCreated, 8);
  if (size != 0) {
    PutInt32(&out[4], requestId);
    PutInt32(&out[8], eventId);
  }
  return size;
}

size_t ServerInfo(std::span<uint8_t> out, std::span<const uint8_t> name) {
  return Start(out, FrameType::ServerInfo, 0, name);
}

std::vector<uint8_t> EventData(int32_t eventId, uint8_t value) {
  return Built(kIdByteSize, [&](std::span<uint8_t> out) { EventData(out, eventId, value); });
}

std::vector<uint8_t> ClientInfoRequest(std::span<const uint8_t> name) {
  return Built(SizeWithText(0, name.size()), [&](std::span<uint8_t> out) { ClientInfoRequest(out, name); });
}

std::vector<uint8_t> ClientInfo(int32_t clientId, std::span<const uint8_t> name) {
  return Built(SizeWithText(4, name.size()),
               [&](std::span<uint8_t> out) { ClientInfo(out, clientId, name); });
}

std::vector<uint8_t> ClientGone(int32_t clientId) {
  return Built(kIdSize, [&](std::span<uint8_t> out) { ClientGone(out, clientId); });
}

std::vector<uint8_t> EventInfoRequest(int32_t requestId, int16_t interval, int16_t max,
                                      std::span<const uint8_t> text) {
  return Built(SizeWithText(8, text.size()), [&](std::span<uint8_t> out) {
    EventInfoRequest(out, requestId, interval, max, text);
  });
}

std::vector<uint8_t> EventInfo(int32_t ownerId, int32_t eventId, int16_t interval, int16_t max,
                               std::span<const uint8_t> text) {
  return Built(SizeWithText(12, text.size()), [&](std::span<uint8_t> out) {
    EventInfo(out, ownerId, eventId, interval, max, text);
  });
}

std::vector<uint8_t> EventRemove(int32_t eventId) {
  return Built(kIdSize, [&](std::span<uint8_t> out) { EventRemove(out, eventId); });
}

std::vector<uint8_t> EventSubscribe(int32_t eventId, uint8_t flag) {
  return Built(kIdByteSize, [&](std::span<uint8_t> out) { EventSubscribe(out, eventId, flag); });
}

std::vector<uint8_t> EventCreated(int32_t requestId, int32_t eventId) {
  return Built(kCreatedSize, [&](std::span<uint8_t> out) { EventCreated(out, requestId, eventId); });
}

std::vector<uint8_t> ServerInfo(std::span<const uint8_t> name) {
  return Built(SizeWithText(0, name.size()), [&](std::span<uint8_t> out) { ServerInfo(out, name); });
}

}  // namespace toruna::protocol::frames
