#include "client/WireText.h"

#include <algorithm>

#include "net/Cp1252.h"

namespace toruna::client {

std::vector<uint8_t> WireText::ToWire(std::string_view utf8) {
  return net::Cp1252::FromUtf8(utf8);
}

std::string WireText::FromWire(std::span<const uint8_t> bytes) {
  return net::Cp1252::ToUtf8(bytes.data(), bytes.size());
}

std::vector<uint8_t> WireText::EventToWire(std::string_view name, std::string_view unit) {
  std::vector<uint8_t> text = ToWire(name);
  if (!unit.empty()) {
    text.push_back(0);
    const std::vector<uint8_t> u = ToWire(unit);
    text.insert(text.end(), u.begin(), u.end());
  }
  return text;
}

EventText WireText::EventFromWire(std::span<const uint8_t> bytes) {
  EventText result;
  auto nameEnd = std::find(bytes.begin(), bytes.end(), uint8_t{0});
  result.name = FromWire(std::span<const uint8_t>(bytes.begin(), nameEnd));
  if (nameEnd != bytes.end()) {
    auto unitBegin = nameEnd + 1;
    auto unitEnd = std::find(unitBegin, bytes.end(), uint8_t{0});
    result.unit = FromWire(std::span<const uint8_t>(unitBegin, unitEnd));
  }
  return result;
}

}  // namespace toruna::client
