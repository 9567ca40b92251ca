#include "app/LogLine.h"

#include <cstdint>

namespace toruna::app {

std::string LogLine::Printable(std::string_view line) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(line.size());
  auto escape = [&out](uint8_t byte) {
    out += "\\x";
    out += kHex[byte >> 4];
    out += kHex[byte & 0x0F];
  };
  for (size_t i = 0; i < line.size(); ++i) {
    const auto byte = static_cast<uint8_t>(line[i]);
    if (byte < 0x20 || byte == 0x7F) {
      escape(byte);
      continue;
    }
    // C1 controls in UTF-8 (the text of a name decoded from the wire).
    if (byte == 0xC2 && i + 1 < line.size()) {
      const auto next = static_cast<uint8_t>(line[i + 1]);
      if (next >= 0x80 && next <= 0x9F) {
        escape(byte);
        escape(next);
        ++i;
        continue;
      }
    }
    out.push_back(line[i]);
  }
  return out;
}

}  // namespace toruna::app
