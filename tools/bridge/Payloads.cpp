#include "Payloads.h"

#include "JsonWriter.h"
#include "ValueText.h"

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
  return tools::ValueText::Parse(payload.substr(first, payload.find_last_not_of(blanks) - first + 1));
}

}  // namespace toruna::bridge
