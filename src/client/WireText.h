#pragma once
// Names and units travel as Windows-1252 bytes and are UTF-8 inside the client.

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace toruna::client {

struct EventText {
  std::string name;
  std::string unit;
};

class WireText {
 public:
  static std::vector<uint8_t> ToWire(std::string_view utf8);
  static std::string FromWire(std::span<const uint8_t> bytes);
  // The text of an event: the name, and when there is a unit a byte 0 and the unit.
  static std::vector<uint8_t> EventToWire(std::string_view name, std::string_view unit);
  // The name is everything before the first byte 0, the unit what lies between
  // it and the next 0 (or the end); anything after a second 0 is ignored.
  static EventText EventFromWire(std::span<const uint8_t> bytes);
};

}  // namespace toruna::client
