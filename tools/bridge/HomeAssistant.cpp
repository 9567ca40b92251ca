#include "HomeAssistant.h"

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdio>

#include "JsonWriter.h"

namespace toruna::bridge {

namespace {

// Entities keep an attribute set, not the last meta: an empty meta (the event
// went) clears them instead of making Home Assistant warn of bad JSON.
constexpr const char* kAttributesTemplate = "{{ value if value else '{}' }}";
constexpr const char* kValueTemplate = "{{ value_json.value }}";

bool Mentions(std::string_view name, std::initializer_list<const char*> words) {
  std::string lower(name);
  std::transform(lower.begin(), lower.end(), lower.begin(), [](unsigned char c) { return std::tolower(c); });
  return std::any_of(words.begin(), words.end(), [&](const char* w) { return lower.find(w) != std::string::npos; });
}

}  // namespace

HomeAssistant::HomeAssistant(std::string discoveryPrefix, std::string serverName, const TopicNames& topics,
                             bool jsonValues, std::string version)
    : prefix_(std::move(discoveryPrefix)),
      server_(std::move(serverName)),
      topics_(topics),
      jsonValues_(jsonValues),
      version_(std::move(version)) {}

std::string HomeAssistant::Slug(std::string_view text, size_t longest) {
  std::string out;
  for (char c : text) {
    if (out.size() >= longest) break;
    if ((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9')) {
      out += c;
    } else if (c >= 'A' && c <= 'Z') {
      out += static_cast<char>(c - 'A' + 'a');
    } else if (!out.empty() && out.back() != '_') {
      out += '_';
    }
  }
  while (!out.empty() && out.back() == '_') out.pop_back();
  return out.empty() ? "x" : out;
}

std::string HomeAssistant::Hash(std::string_view text) {
  uint32_t h = 2166136261u;
  for (char c : text) {
    h ^= static_cast<uint8_t>(c);
    h *= 16777619u;
  }
  char buf[9];
  std::snprintf(buf, sizeof buf, "%08x", h);
  return buf;
}

std::optional<std::string> HomeAssistant::DeviceClass(std::string_view unit, std::string_view name) {
  static const std::pair<const char*, const char*> kByUnit[] = {
      {"°C", "temperature"}, {"°F", "temperature"}, {"K", "temperature"},
      {"W", "power"}, {"kW", "power"},
      {"V", "voltage"}, {"mV", "voltage"},
      {"A", "current"}, {"mA", "current"},
      {"lx", "illuminance"},
      {"Hz", "frequency"}, {"kHz", "frequency"},
      {"Pa", "pressure"}, {"hPa", "pressure"}, {"kPa", "pressure"}, {"mbar", "pressure"},
      {"bar", "pressure"}, {"psi", "pressure"}, {"mmHg", "pressure"}, {"inHg", "pressure"},
      {"dBm", "signal_strength"},
      {"dB", "sound_pressure"}, {"dBA", "sound_pressure"},
      {"ms", "duration"}, {"s", "duration"}, {"min", "duration"}, {"h", "duration"}, {"d", "duration"},
      {"mm", "distance"}, {"cm", "distance"}, {"m", "distance"}, {"km", "distance"},
  };
  for (const auto& [u, cls] : kByUnit) {
    if (unit == u) return cls;
  }
  if (unit == "%") {
    if (Mentions(name, {"hum", "feucht"})) return "humidity";
    if (Mentions(name, {"batt", "akku"})) return "battery";
    if (Mentions(name, {"moist"})) return "moisture";
  }
  return std::nullopt;
}

std::optional<int32_t> HomeAssistant::ExpireAfter(int16_t interval) {
  if (interval <= 0) return std::nullopt;
  return std::max<int32_t>(10, (3 * interval + 999) / 1000);
}

std::string HomeAssistant::ObjectId(std::string_view client, std::string_view event) const {
  // The names are joined with NUL, which none of them holds: no two events
  // share the text that is hashed.
  const std::string full = server_ + std::string(1, '\0') + std::string(client) + std::string(1, '\0') +
                           std::string(event);
  return "toruna_" + Slug(server_) + "_" + Slug(client) + "_" + Slug(event) + "_" + Hash(full);
}

std::string HomeAssistant::ConfigTopic(std::string_view client, std::string_view event, bool own) const {
  return prefix_ + "/" + (own ? "number" : "sensor") + "/toruna_" + Slug(server_) + "/" +
         ObjectId(client, event) + "/config";
}

std::string HomeAssistant::ServerDevice() const { return "toruna_server_" + Hash(server_); }

std::string HomeAssistant::Origin() const {
  tools::JsonWriter origin;
  origin.Add("name", "toruna-bridge");
  if (!version_.empty()) origin.Add("sw_version", version_);
  return origin.Str();
}

std::string HomeAssistant::Config(const BridgedEvent& event, bool own) const {
  const std::string objectId = ObjectId(event.client, event.name);
  const std::string device = server_ + std::string(1, '\0') + event.client;
  const std::string availability =
      "[" + tools::JsonWriter().Add("topic", topics_.Status()).Str() + "," +
      tools::JsonWriter().Add("topic", topics_.Available(event.client, event.name)).Str() + "]";
  tools::JsonWriter json;
  json.Add("name", event.name)
      .Add("unique_id", objectId)
      .Add("default_entity_id", std::string(own ? "number." : "sensor.") + objectId)
      .Add("state_topic", topics_.Value(event.client, event.name))
      .Add("json_attributes_topic", topics_.Meta(event.client, event.name))
      .Add("json_attributes_template", kAttributesTemplate)
      .AddRaw("availability", availability)
      .Add("availability_mode", "all");
  if (jsonValues_) json.Add("value_template", kValueTemplate);
  if (own) {
    json.Add("command_topic", topics_.Set(event.client, event.name))
        .Add("min", int32_t{0})
        .Add("max", static_cast<int32_t>(event.max > 0 && event.max < 255 ? event.max : 255))
        .Add("step", int32_t{1})
        .Add("mode", "box");
  } else {
    json.Add("state_class", "measurement");
    if (auto cls = DeviceClass(event.unit, event.name)) json.Add("device_class", *cls);
    if (auto expire = ExpireAfter(event.interval)) json.Add("expire_after", *expire);
  }
  if (!event.unit.empty()) json.Add("unit_of_measurement", event.unit);
  json.Add("device", tools::JsonWriter()
                         .Add("identifiers", std::vector<std::string>{"toruna_" + Hash(device)})
                         .Add("name", event.client + " (" + server_ + ")")
                         .Add("manufacturer", "Toruna")
                         .Add("model", "Toruna client")
                         .Add("via_device", ServerDevice()));
  json.AddRaw("origin", Origin());
  return json.Str();
}

std::string HomeAssistant::ServerConfigTopic() const {
  return prefix_ + "/binary_sensor/toruna_" + Slug(server_) + "/toruna_" + Slug(server_) + "_" +
         Hash(server_) + "_status/config";
}

std::string HomeAssistant::ServerConfig() const {
  const std::string objectId = "toruna_" + Slug(server_) + "_" + Hash(server_) + "_status";
  return tools::JsonWriter()
      .Add("name", "Bridged")
      .Add("unique_id", objectId)
      .Add("default_entity_id", "binary_sensor." + objectId)
      .Add("state_topic", topics_.Status())
      .Add("payload_on", "online")
      .Add("payload_off", "offline")
      .Add("device_class", "connectivity")
      .Add("entity_category", "diagnostic")
      .Add("device", tools::JsonWriter()
                         .Add("identifiers", std::vector<std::string>{ServerDevice()})
                         .Add("name", server_)
                         .Add("manufacturer", "Toruna")
                         .Add("model", "Toruna server"))
      .AddRaw("origin", Origin())
      .Str();
}

}  // namespace toruna::bridge
