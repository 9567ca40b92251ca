#include "client/WireText.h"

#include <algorithm>

#include "base/Cp1252.h"

namespace toruna::client {

namespace {

// The length of the UTF-8 sequence a lead byte announces (1 for a stray byte).
size_t SequenceLength(unsigned char lead) {
  if (lead >= 0xF0 && lead <= 0xF7) return 4;
  if (lead >= 0xE0) return lead <= 0xEF ? 3 : 1;
  if (lead >= 0xC0) return 2;
  return 1;
}

std::string Quoted(std::string_view text) { return "'" + std::string(text) + "'"; }

}  // namespace

std::vector<uint8_t> WireText::ToWire(std::string_view utf8, std::string_view what) {
  for (size_t i = 0; i < utf8.size();) {
    const auto lead = static_cast<unsigned char>(utf8[i]);
    if (lead == 0) {
      throw TextError(std::string(what) + " holds a byte 0, which cannot be sent");
    }
    if (lead < 0x80) {
      ++i;
      continue;
    }
    const size_t n = std::min(SequenceLength(lead), utf8.size() - i);
    const std::string_view ch = utf8.substr(i, n);
    // A well-formed character becomes exactly one byte; a malformed sequence
    // becomes a '?' for each of its bytes.
    const std::vector<uint8_t> byte = base::Cp1252::FromUtf8(ch);
    if (n == 1 || n != SequenceLength(lead) || byte.size() != 1) {
      throw TextError(std::string(what) + " holds bytes that are not UTF-8");
    }
    // A character the code page lacks becomes '?', which reads back differently.
    if (base::Cp1252::ToUtf8(byte.data(), 1) != ch) {
      throw TextError(std::string(what) + " " + Quoted(utf8) + " holds " + Quoted(ch) +
                      ", which Windows-1252 (the code page of text on the wire) lacks");
    }
    i += n;
  }
  return base::Cp1252::FromUtf8(utf8);
}

std::string WireText::FromWire(std::span<const uint8_t> bytes) {
  return base::Cp1252::ToUtf8(bytes.data(), bytes.size());
}

void WireText::CheckClientName(std::string_view name) {
  if (name.empty()) throw TextError("the client name must not be empty");
  if (ToWire(name, "the client name").size() > kMaxTextBytes) {
    throw TextError("the client name is too long (at most " + std::to_string(kMaxTextBytes) +
                    " bytes)");
  }
}

void WireText::CheckEvent(std::string_view name, std::string_view unit) {
  if (name.empty()) throw TextError("an event needs a name");
  const size_t bytes = ToWire(name, "the event name").size() + ToWire(unit, "the unit").size();
  if (bytes > kMaxTextBytes) {
    throw TextError("the event name with its unit is too long (at most " +
                    std::to_string(kMaxTextBytes) + " bytes)");
  }
}

std::vector<uint8_t> WireText::EventToWire(std::string_view name, std::string_view unit) {
  std::vector<uint8_t> text = ToWire(name, "the event name");
  if (!unit.empty()) {
    text.push_back(0);
    const std::vector<uint8_t> u = ToWire(unit, "the unit");
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
