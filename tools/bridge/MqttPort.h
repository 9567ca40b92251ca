#pragma once
// The broker as the bridge's rules see it: a connection that takes messages
// and subscriptions while it is up. MqttLink is the real one (libmosquitto);
// tests put a fake in its place. What happens on the connection (up, down,
// confirmed, a message) is told to the rules by whoever drives the port.

#include <cstdint>
#include <string>
#include <string_view>

namespace toruna::bridge {

class MqttPort {
 public:
  using Ticket = uint64_t;

  virtual bool Connected() const = 0;
  // Hands a message over: a ticket (never 0) that is confirmed once the broker
  // has the message (at QoS 0: once it is written), or 0 when it is not taken
  // (not connected, or a topic the client library refuses).
  virtual Ticket Publish(const std::string& topic, std::string_view payload, int qos, bool retain) = 0;
  virtual void Subscribe(const std::string& filter, int qos) = 0;

 protected:
  ~MqttPort() = default;
};

}  // namespace toruna::bridge
