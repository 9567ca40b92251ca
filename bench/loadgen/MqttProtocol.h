#pragma once
// MQTT 3.1.1 with QoS 0: CONNECT with a clean session and no keep-alive,
// SUBSCRIBE to one topic (its SUBACK is the barrier), PUBLISH with a 1-byte
// payload.

#include "Protocol.h"

namespace loadgen {

class MqttProtocol : public Protocol {
 public:
  const char* Name() const override { return "mqtt"; }
  uint16_t DefaultPort() const override { return 1883; }
  void Start(Connection& c) override;
  bool PreparePublisher(Connection&) override { return true; }
  void Subscribe(Connection& c) override;
  void Own(Connection& c) override;  // a subscription to a topic of its own, packet id 2
  void Publish(Connection& c, uint8_t value) override;
  long Parse(Connection& c, const uint8_t* data, size_t n, SignalSink& sink) override;
};

}  // namespace loadgen
