#pragma once
// What the bridge writes into messages, and reads from them: the retained
// description of an event and the values, decimal text from "0" to "255".

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace toruna::bridge {

// An event as the bridge describes it in MQTT: one of the roster's, or one of
// the bridge's own (whose owner ID the server never tells).
struct BridgedEvent {
  int32_t id = 0;
  std::string client;  // the owner's name
  std::optional<int32_t> ownerId;  // null in the meta when unknown
  std::string name;
  std::string unit;
  int16_t interval = 0;
  int16_t max = 255;
};

class Payloads {
 public:
  // {"id":2,"name":"Temp","unit":"°C","interval":1000,"max":120,"owner":"Alice","owner_id":1}
  static std::string Meta(const BridgedEvent& event);
  static std::string Value(uint8_t value) { return std::to_string(value); }
  // {"value":21,"time":"2026-12-09T19:55:56.123Z"}: the value with the time
  // the bridge received it, in UTC to the millisecond.
  static std::string Value(uint8_t value, std::chrono::system_clock::time_point received);
  static std::string Time(std::chrono::system_clock::time_point t);
  // A value sent to a set topic: a whole number from 0 to 255, with blanks
  // around it allowed; nullopt for anything else.
  static std::optional<uint8_t> ParseValue(std::string_view payload);
};

}  // namespace toruna::bridge
