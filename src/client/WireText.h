#pragma once
// Names and units travel as Windows-1252 bytes and are UTF-8 inside the client.
// Text going out is checked first: a character the code page lacks, malformed
// UTF-8, a byte 0 or an oversized text is a TextError before anything is sent,
// never a silent '?'.

#include <cstdint>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace toruna::client {

class TextError : public std::invalid_argument {
 public:
  using std::invalid_argument::invalid_argument;
};

struct EventText {
  std::string name;
  std::string unit;
};

class WireText {
 public:
  // Well inside a frame's signed 16-bit length and the server's 2048-byte
  // arrivals, for a client name and for an event's name and unit together.
  static constexpr size_t kMaxTextBytes = 1000;

  // The bytes of the text; TextError naming `what` ("the client name", ...) when
  // a character cannot be sent.
  static std::vector<uint8_t> ToWire(std::string_view utf8, std::string_view what = "the text");
  static std::string FromWire(std::span<const uint8_t> bytes);

  // A client name: not empty, sendable, at most kMaxTextBytes.
  static void CheckClientName(std::string_view name);
  // An event: a name that is not empty, and name and unit sendable and together
  // at most kMaxTextBytes.
  static void CheckEvent(std::string_view name, std::string_view unit);

  // The text of an event: the name, and when there is a unit a byte 0 and the unit.
  static std::vector<uint8_t> EventToWire(std::string_view name, std::string_view unit);
  // The name is everything before the first byte 0, the unit what lies between
  // it and the next 0 (or the end); anything after a second 0 is ignored.
  static EventText EventFromWire(std::span<const uint8_t> bytes);
};

}  // namespace toruna::client
