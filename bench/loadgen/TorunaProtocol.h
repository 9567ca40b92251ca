#pragma once
// Toruna's message frames: marker 42, signed 16-bit little-endian length (type
// byte plus payload), type byte, payload. The publisher registers, creates one
// event and publishes 9-byte EventData frames on it; subscribers register and
// subscribe to that event. Other clients' ClientInfo frames (ID, then name) are
// passed on by name, their ClientGone frames as departures.

#include "Protocol.h"

namespace loadgen {

class TorunaProtocol : public Protocol {
 public:
  // An event ID nobody owns: publishing on it makes the server answer the
  // sender with EventSubscribe flag 0, which serves as the subscription barrier.
  static constexpr int32_t kBarrierEvent = 0x7ffffff0;
  static constexpr int32_t kCreateRequest = 4711;
  static constexpr int32_t kOwnRequest = 4712;

  const char* Name() const override { return "toruna"; }
  uint16_t DefaultPort() const override { return 13131; }
  void Start(Connection& c) override;
  bool PreparePublisher(Connection& c) override;
  void Subscribe(Connection& c) override;
  void Own(Connection& c) override;  // an event of its own
  void Publish(Connection& c, uint8_t value) override;
  long Parse(Connection& c, const uint8_t* data, size_t n, SignalSink& sink) override;
  bool AnnouncesClients() const override { return true; }
  // Unique within one generator: the connection's index is.
  std::string ClientName(const Connection& c) const override;

  int32_t EventId() const { return eventId_; }
  void SetEventId(int32_t id) { eventId_ = id; }

 private:
  int32_t eventId_ = 0;  // the publisher's event, known once EventCreated arrived
};

}  // namespace loadgen
