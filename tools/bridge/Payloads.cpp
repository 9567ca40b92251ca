#include "Payloads.h"

#include "JsonWriter.h"

namespace toruna::bridge {

std::string Payloads::Meta(const BridgedEvent& event) {
  tools::JsonWriter json;
  json.Add("id", event.id)
      .Add("name", event.name)
      .Add("unit", event.unit)
      .Add("interval", static_cast<int32_t>(event.interval))
      .Add("max", static_cast<int32_t>(event.max))
      .Add("owner", event.client);
  if (event.ownerId) json.Add("owner_id", *event.ownerId);
  return json.Str();
}

std::optional<uint8_t> Payloads::ParseValue(std::string_view payload) {
  const std::string_view blanks = " \t\r\n";
  const size_t first = payload.find_first_not_of(blanks);
  if (first == std::string_view::npos) return std::nullopt;
  const std::string_view digits = payload.substr(first, payload.find_last_not_of(blanks) - first + 1);
  if (digits.size() > 3) return std::nullopt;
  int v = 0;
  for (char c : digits) {
    if (c < '0' || c > '9') return std::nullopt;
    v = v * 10 + (c - '0');
  }
  if (v > 255) return std::nullopt;
  return static_cast<uint8_t>(v);
}

}  // namespace toruna::bridge
