#pragma once
// NATS text protocol: CONNECT (not verbose) answered by INFO first, then PING
// whose PONG marks registration; SUB followed by PING whose PONG is the
// subscription barrier; PUB of a 1-byte payload. The server's PINGs are answered.

#include "Protocol.h"

namespace loadgen {

class NatsProtocol : public Protocol {
 public:
  const char* Name() const override { return "nats"; }
  uint16_t DefaultPort() const override { return 4222; }
  void Start(Connection&) override {}  // the server speaks first (INFO)
  bool PreparePublisher(Connection&) override { return true; }
  void Subscribe(Connection& c) override;
  void Own(Connection& c) override;  // a subscription to a subject of its own
  void Publish(Connection& c, uint8_t value) override;
  long Parse(Connection& c, const uint8_t* data, size_t n, SignalSink& sink) override;

 private:
  // c.phase: 0 waiting for INFO, 1 CONNECT sent, 2 registered (first PONG),
  // 3 subscribed (the PONG after SUB); Own: 4 asked, 5 owned.
  void OnPong(Connection& c, SignalSink& sink);
};

}  // namespace loadgen
