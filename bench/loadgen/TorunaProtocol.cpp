#include "TorunaProtocol.h"

#include <string>
#include <string_view>

namespace loadgen {
namespace {

constexpr uint8_t kMarker = 42;
enum : uint8_t { EventData = 1, ClientInfo = 2, ClientGone = 3, EventInfo = 4, EventSubscribe = 6,
                 EventCreated = 7, ServerInfo = 8 };

void PutI16(uint8_t* at, int16_t v) {
  at[0] = static_cast<uint8_t>(v & 0xff);
  at[1] = static_cast<uint8_t>((v >> 8) & 0xff);
}
void PutI32(uint8_t* at, int32_t v) {
  auto u = static_cast<uint32_t>(v);
  for (int i = 0; i < 4; ++i) at[i] = static_cast<uint8_t>(u >> (8 * i));
}
int32_t GetI32(const uint8_t* at) {
  uint32_t u = 0;
  for (int i = 0; i < 4; ++i) u |= static_cast<uint32_t>(at[i]) << (8 * i);
  return static_cast<int32_t>(u);
}

void AppendEventFrame(Connection& c, uint8_t type, int32_t id, uint8_t value) {
  uint8_t f[9] = {kMarker, 6, 0, type};
  PutI32(f + 4, id);
  f[8] = value;
  c.Append(f, sizeof f);
}

void AppendCreateEvent(Connection& c, int32_t request) {
  static const char kText[] = "bench\0n";  // name, 0, unit
  const size_t textLen = sizeof kText - 1;
  uint8_t f[12] = {kMarker, 0, 0, EventInfo};
  PutI16(f + 1, static_cast<int16_t>(9 + textLen));
  PutI32(f + 4, request);
  PutI16(f + 8, 1000);  // interval
  PutI16(f + 10, 255);  // max
  c.Append(f, sizeof f);
  c.Append(kText, textLen);
}

}  // namespace

std::string TorunaProtocol::ClientName(const Connection& c) const {
  return (c.isPublisher ? "pub" : "c") + std::to_string(c.index);
}

void TorunaProtocol::Start(Connection& c) {
  const std::string name = ClientName(c);
  std::string f = {static_cast<char>(kMarker), 0, 0, static_cast<char>(ClientInfo)};
  PutI16(reinterpret_cast<uint8_t*>(f.data()) + 1, static_cast<int16_t>(1 + name.size()));
  c.Append(f + name);
}

bool TorunaProtocol::PreparePublisher(Connection& c) {
  AppendCreateEvent(c, kCreateRequest);
  return false;
}

void TorunaProtocol::Own(Connection& c) { AppendCreateEvent(c, kOwnRequest); }

void TorunaProtocol::Subscribe(Connection& c) {
  AppendEventFrame(c, EventSubscribe, eventId_, 1);
  // Frames of one connection are handled in order, so the answer to this one
  // comes after the subscription has been recorded.
  AppendEventFrame(c, EventData, kBarrierEvent, 0);
}

void TorunaProtocol::Publish(Connection& c, uint8_t value) {
  AppendEventFrame(c, EventData, eventId_, value);
}

long TorunaProtocol::Parse(Connection& c, const uint8_t* data, size_t n, SignalSink& sink) {
  size_t pos = 0;
  while (n - pos >= 3) {
    const uint8_t* f = data + pos;
    if (f[0] != kMarker) return -1;
    const int16_t len = static_cast<int16_t>(f[1] | (f[2] << 8));
    if (len < 0) return -1;
    const size_t size = static_cast<size_t>(len) + 3;
    if (n - pos < size) break;
    pos += size;
    if (len == 0) continue;
    switch (f[3]) {
      case ClientInfo:  // another client registered: ID, then its name
        if (len < 5) return -1;
        sink.OnAnnounced(c, std::string_view(reinterpret_cast<const char*>(f + 8), size - 8));
        break;
      case ServerInfo:
        sink.OnSignal(c, Signal::Registered, 0);
        break;
      case ClientGone:
        sink.OnGone(c);
        break;
      case EventCreated:
        if (len >= 9 && GetI32(f + 4) == kCreateRequest) {
          eventId_ = GetI32(f + 8);
          sink.OnSignal(c, Signal::PublisherReady, 0);
        } else if (len >= 9 && GetI32(f + 4) == kOwnRequest) {
          sink.OnSignal(c, Signal::Owned, 0);
        }
        break;
      case EventSubscribe:
        if (len >= 6 && GetI32(f + 4) == kBarrierEvent && f[8] == 0)
          sink.OnSignal(c, Signal::Subscribed, 0);
        break;
      case EventData:
        if (len < 6) return -1;
        if (GetI32(f + 4) == eventId_) sink.OnSignal(c, Signal::Delivery, f[8]);
        break;
      default:  // events of others, departures: not ours to check
        break;
    }
  }
  return static_cast<long>(pos);
}

}  // namespace loadgen
