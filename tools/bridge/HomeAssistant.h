#pragma once
// Home Assistant's MQTT discovery: one retained config message per event, so
// that each appears as an entity without configuration. An event of another
// client is a sensor, an event of the bridge's own (which MQTT sets) a number.
// Each client is a device, reached through the server, which is a device of
// its own with one entity: whether the bridge has the server (a connectivity
// sensor on the status topic). An entity is available while the bridge has
// both sides and its event exists ("all" of the status topic and the event's
// availability topic), so one that goes keeps its entity, unavailable.
//
//   DISCOVERY/sensor/toruna_SERVER/toruna_SERVER_CLIENT_EVENT_HASH/config
//   DISCOVERY/binary_sensor/toruna_SERVER/toruna_SERVER_status/config
//
// Topic IDs may hold only [a-zA-Z0-9_-]: names are reduced to that ("slugs"),
// and a hash of the full names keeps IDs apart that reduce alike.

#include <optional>
#include <string>
#include <string_view>

#include "Payloads.h"
#include "TopicNames.h"

namespace toruna::bridge {

class HomeAssistant {
 public:
  // jsonValues: values are published as {"value":..,"time":..}.
  HomeAssistant(std::string discoveryPrefix, std::string serverName, const TopicNames& topics,
                bool jsonValues = false, std::string version = "");

  // own: an event of the bridge's, set through its set topic.
  std::string ConfigTopic(std::string_view client, std::string_view event, bool own) const;
  std::string ConfigTopic(const BridgedEvent& event, bool own) const {
    return ConfigTopic(event.client, event.name, own);
  }
  std::string Config(const BridgedEvent& event, bool own) const;
  std::string ServerConfigTopic() const;
  std::string ServerConfig() const;

  // Home Assistant's device class for a unit it knows ("°C": temperature);
  // "%" only where the event's name says of what.
  static std::optional<std::string> DeviceClass(std::string_view unit, std::string_view name);
  // Seconds after which a sensor that heard nothing is unavailable: three of
  // the event's intervals (taken as milliseconds), at least 10 s; none
  // without an interval.
  static std::optional<int32_t> ExpireAfter(int16_t interval);
  // Lower-case letters, digits and single '_' for everything else; "x" when
  // nothing is left.
  static std::string Slug(std::string_view text, size_t longest = 24);
  // Eight hex digits (FNV-1a).
  static std::string Hash(std::string_view text);

 private:
  std::string ObjectId(std::string_view client, std::string_view event) const;
  std::string ServerDevice() const;
  std::string Origin() const;

  std::string prefix_;
  std::string server_;
  const TopicNames& topics_;
  bool jsonValues_;
  std::string version_;
};

}  // namespace toruna::bridge
