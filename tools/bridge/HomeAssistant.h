#pragma once
// Home Assistant's MQTT discovery: one retained config message per event, so
// that each appears as an entity without configuration. An event of another
// client is a sensor, an event of the bridge's own (which MQTT sets) a number;
// each client is a device. The entities follow the server's status topic, so
// they show as unavailable while the bridge or the server is away.
//
//   DISCOVERY/sensor/toruna_SERVER/toruna_SERVER_CLIENT_EVENT_HASH/config
//
// Topic IDs may hold only [a-zA-Z0-9_-]: names are reduced to that ("slugs"),
// and a hash of the full names keeps IDs apart that reduce alike.

#include <string>
#include <string_view>

#include "Payloads.h"
#include "TopicNames.h"

namespace toruna::bridge {

class HomeAssistant {
 public:
  HomeAssistant(std::string discoveryPrefix, std::string serverName, const TopicNames& topics);

  // own: an event of the bridge's, set through its set topic.
  std::string ConfigTopic(const BridgedEvent& event, bool own) const;
  std::string Config(const BridgedEvent& event, bool own) const;

  // Lower-case letters, digits and single '_' for everything else; "x" when
  // nothing is left.
  static std::string Slug(std::string_view text, size_t longest = 24);
  // Eight hex digits (FNV-1a).
  static std::string Hash(std::string_view text);

 private:
  std::string ObjectId(const BridgedEvent& event) const;

  std::string prefix_;
  std::string server_;
  const TopicNames& topics_;
};

}  // namespace toruna::bridge
