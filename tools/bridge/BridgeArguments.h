#pragma once
// The bridge's command line. Parsing does no I/O: a bad command line throws
// UsageError, whose text main prints before it exits with status 2.

#include <stdexcept>
#include <string>
#include <vector>

#include "MqttLink.h"
#include "Outbox.h"
#include "TopicNames.h"

namespace toruna::bridge {

class UsageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

enum class DiscoverMode { Off, First, Every };

struct BridgeOptions {
  std::string server;  // a host or address; empty when discovering
  DiscoverMode discover = DiscoverMode::Off;
  MqttSettings mqtt;   // broker, client ID, user, TLS, QoS; the will is set per server
  std::string passwordFile;
  std::string prefix = "toruna";
  std::vector<std::string> patterns;  // "client/event" patterns; empty: every event
  std::string name = "bridge";        // the bridge's client name on the server
  bool acceptSet = false;
  bool acceptRetainedSet = false;     // apply a retained message on a set topic
  std::vector<std::string> ownEvents;  // created at start (implies acceptSet)
  bool retainValues = false;          // on by default with homeAssistant
  bool jsonValues = false;            // {"value":..,"time":..} instead of the number
  bool homeAssistant = false;
  std::string discoveryPrefix = "homeassistant";
  BrokerProfile profile = BrokerProfile::Standard;
  OutboxLimits queue;
  std::string version;  // the program's, for Home Assistant's origin
};

struct CommandLine {
  bool help = false;
  bool version = false;
  BridgeOptions options;
};

class BridgeArguments {
 public:
  // args excludes the program name.
  static CommandLine Parse(const std::vector<std::string>& args);
  static std::string HelpText();
  // "HOST", "HOST:PORT", "[V6]" or "[V6]:PORT" into the settings' host and port.
  static void ParseBroker(const std::string& text, MqttSettings& settings, bool tls);
};

}  // namespace toruna::bridge
