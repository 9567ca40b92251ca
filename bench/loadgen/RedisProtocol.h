#pragma once
// Redis's publish/subscribe over RESP2: a connection is a client at once (no
// registration), so PING's +PONG marks it served; SUBSCRIBE's confirmation is
// the subscription barrier; PUBLISH of a 1-byte value as a bulk string (binary
// safe), whose integer reply the publisher ignores; deliveries arrive as
// ["message", channel, value].

#include "Protocol.h"

namespace loadgen {

class RedisProtocol : public Protocol {
 public:
  const char* Name() const override { return "redis"; }
  uint16_t DefaultPort() const override { return 6379; }
  bool Registers() const override { return false; }
  void Start(Connection& c) override;
  bool PreparePublisher(Connection&) override { return true; }
  void Subscribe(Connection& c) override;
  void Own(Connection& c) override;
  void Publish(Connection& c, uint8_t value) override;
  long Parse(Connection& c, const uint8_t* data, size_t n, SignalSink& sink) override;
};

}  // namespace loadgen
