#include "Payloads.h"

#include <cstdio>
#include <ctime>

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
  if (event.ownerId) {
    json.Add("owner_id", *event.ownerId);
  } else {
    json.AddNull("owner_id");  // the server never tells a client its own ID
  }
  return json.Str();
}

std::string Payloads::Value(uint8_t value, std::chrono::system_clock::time_point received) {
  return tools::JsonWriter().Add("value", int32_t{value}).Add("time", Time(received)).Str();
}

std::string Payloads::Time(std::chrono::system_clock::time_point t) {
  using namespace std::chrono;
  const auto ms = duration_cast<milliseconds>(t.time_since_epoch()).count();
  const std::time_t seconds = static_cast<std::time_t>(ms / 1000 - (ms % 1000 < 0 ? 1 : 0));
  std::tm utc{};
  gmtime_r(&seconds, &utc);
  char buf[64];
  std::snprintf(buf, sizeof buf, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", utc.tm_year + 1900, utc.tm_mon + 1,
                utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec, static_cast<int>((ms % 1000 + 1000) % 1000));
  return buf;
}

std::optional<uint8_t> Payloads::ParseValue(std::string_view payload) {
  const std::string_view blanks = " \t\r\n";
  const size_t first = payload.find_first_not_of(blanks);
  if (first == std::string_view::npos) return std::nullopt;
  return tools::ValueText::Parse(payload.substr(first, payload.find_last_not_of(blanks) - first + 1));
}

}  // namespace toruna::bridge
