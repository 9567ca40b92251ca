#include "HomeAssistant.h"

#include <cstdint>
#include <cstdio>

#include "JsonWriter.h"

namespace toruna::bridge {

HomeAssistant::HomeAssistant(std::string discoveryPrefix, std::string serverName,
                             const TopicNames& topics)
    : prefix_(std::move(discoveryPrefix)), server_(std::move(serverName)), topics_(topics) {}

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

std::string HomeAssistant::ObjectId(const BridgedEvent& event) const {
  // The names are joined with NUL, which none of them holds: no two events
  // share the text that is hashed.
  const std::string full = server_ + std::string(1, '\0') + event.client + std::string(1, '\0') + event.name;
  return "toruna_" + Slug(server_) + "_" + Slug(event.client) + "_" + Slug(event.name) + "_" + Hash(full);
}

std::string HomeAssistant::ConfigTopic(const BridgedEvent& event, bool own) const {
  return prefix_ + "/" + (own ? "number" : "sensor") + "/toruna_" + Slug(server_) + "/" +
         ObjectId(event) + "/config";
}

std::string HomeAssistant::Config(const BridgedEvent& event, bool own) const {
  const std::string objectId = ObjectId(event);
  const std::string device = server_ + std::string(1, '\0') + event.client;
  tools::JsonWriter json;
  json.Add("name", event.name)
      .Add("unique_id", objectId)
      .Add("object_id", objectId)
      .Add("state_topic", topics_.Value(event.client, event.name))
      .Add("json_attributes_topic", topics_.Meta(event.client, event.name))
      .Add("availability_topic", topics_.Status())
      .Add("payload_available", "online")
      .Add("payload_not_available", "offline");
  if (own) {
    json.Add("command_topic", topics_.Set(event.client, event.name))
        .Add("min", int32_t{0})
        .Add("max", static_cast<int32_t>(event.max > 0 && event.max < 255 ? event.max : 255))
        .Add("step", int32_t{1})
        .Add("mode", "box");
  } else {
    json.Add("state_class", "measurement");
  }
  if (!event.unit.empty()) json.Add("unit_of_measurement", event.unit);
  json.Add("device", tools::JsonWriter()
                         .Add("identifiers", std::vector<std::string>{"toruna_" + Hash(device)})
                         .Add("name", event.client)
                         .Add("manufacturer", "Toruna")
                         .Add("model", "client of " + server_));
  return json.Str();
}

}  // namespace toruna::bridge
