#pragma once
// A broker connection for the bridge's rules: it records what is handed over
// and lets the test say when it is up and what the broker confirmed.

#include <string>
#include <string_view>
#include <vector>

#include "MqttPort.h"

namespace toruna::bridge {

struct FakePort final : MqttPort {
  struct Sent {
    std::string topic;
    std::string payload;
    int qos = 0;
    bool retain = false;
    Ticket ticket = 0;
  };
  bool up = false;
  std::vector<Sent> sent;
  std::vector<std::string> filters;
  Ticket next = 1;

  bool Connected() const override { return up; }
  Ticket Publish(const std::string& topic, std::string_view payload, int qos, bool retain) override {
    if (!up) return 0;
    sent.push_back({topic, std::string(payload), qos, retain, next});
    return next++;
  }
  void Subscribe(const std::string& filter, int) override { filters.push_back(filter); }

  // "topic payload" of each message handed over, in order.
  std::vector<std::string> Lines() const {
    std::vector<std::string> out;
    for (const Sent& s : sent) out.push_back(s.topic + " " + s.payload);
    return out;
  }
};

}  // namespace toruna::bridge
