#include "BridgeArguments.h"

#include <optional>

#include "TopicNames.h"
#include "client/WireText.h"

namespace toruna::bridge {

namespace {

const char* const kHelp =
    "Usage: toruna-bridge SERVER [OPTIONS]\n"
    "  or:  toruna-bridge --discover|--discover-all [OPTIONS]\n"
    "\n"
    "Bridges a Toruna server's events into an MQTT broker: every value as decimal\n"
    "text on PREFIX/SERVERNAME/CLIENT/EVENT, each event's description as retained\n"
    "JSON on .../EVENT/meta (cleared when the event goes), and online/offline on\n"
    "PREFIX/SERVERNAME/status (offline is the bridge's last will). SERVER is a host\n"
    "name or address; --discover takes the first server that answers a broadcast,\n"
    "--discover-all every one. Both sides are reconnected with backoff; SIGTERM or\n"
    "Ctrl-C leaves cleanly. What it does is said on standard error.\n"
    "\n"
    "Server side:\n"
    "  --subscribe PATTERN   bridge the events whose \"client/event\" name matches\n"
    "                        (shell wildcards * ? [...]; repeatable; default every event)\n"
    "  --name NAME           the bridge's client name on the server (default bridge)\n"
    "  --accept-set          take MQTT messages on PREFIX/SERVERNAME/NAME/EVENT/set as\n"
    "                        values of the bridge's own event EVENT, created on first use\n"
    "  --own-event EVENT     create the bridge's own event EVENT at start (repeatable;\n"
    "                        implies --accept-set)\n"
    "  --accept-retained-set also take a retained message on a set topic (ignored by\n"
    "                        default, so that it is not applied again at every start)\n"
    "MQTT side:\n"
    "  --broker HOST[:PORT]  the broker (default 127.0.0.1:1883, 8883 with TLS)\n"
    "  --prefix PREFIX       the first topic levels (default toruna)\n"
    "  --broker-profile P    standard (default) or nats: NATS refuses ' ' and '.' in\n"
    "                        topics, which this profile writes as %20 and %2E\n"
    "  --retain-values       publish values retained (default with --homeassistant)\n"
    "  --no-retain-values    do not, even with --homeassistant\n"
    "  --json-values         publish {\"value\":21,\"time\":\"...Z\"}, with the time the\n"
    "                        bridge received the value, instead of the bare number\n"
    "  --queue-values N      values kept while the broker is away (default 100000)\n"
    "  --queue-bytes N       ... and at most N bytes of them (default 16777216)\n"
    "  --qos N               QoS of what is published and subscribed: 0, 1 or 2 (default 1)\n"
    "  --homeassistant       publish Home Assistant discovery configs for every event;\n"
    "                        an entity whose event goes stays, unavailable (a message\n"
    "                        on PREFIX/SERVERNAME/forget removes absent ones)\n"
    "  --discovery-prefix P  Home Assistant's discovery prefix (default homeassistant)\n"
    "  --client-id ID        the MQTT client ID (default toruna-bridge-HOST-SERVERNAME)\n"
    "  --username USER       log in as USER\n"
    "  --password-file FILE  with the password on the first line of FILE (default: the\n"
    "                        file that TORUNA_BRIDGE_PASSWORD_FILE names, if it is set)\n"
    "  --tls                 use TLS, checking the broker against the system's CAs\n"
    "  --cafile FILE         ... or against the CA certificates in FILE (implies --tls)\n"
    "  --capath DIR          ... or in DIR (implies --tls)\n"
    "  --cert FILE --key FILE  a client certificate and its key (imply --tls)\n"
    "  --insecure            do not check the broker's name against its certificate\n"
    "\n"
    "Names are UTF-8 in topics; '%', '/', '+', '#' and control characters are\n"
    "written as %XX (\"a/b\" is a%2Fb). See docs/bridge.md.\n"
    "\n"
    "Exit status: 0 when stopped by a signal, 1 when it cannot start, 2 for bad arguments.\n"
    "toruna-bridge --version prints the version.\n";

size_t ParseCount(const std::string& text, const std::string& what) {
  if (text.empty() || text.size() > 12 || text.find_first_not_of("0123456789") != std::string::npos ||
      std::stoull(text) == 0) {
    throw UsageError(what + " needs a whole number above 0, not '" + text + "'");
  }
  return static_cast<size_t>(std::stoull(text));
}

int ParsePort(const std::string& text, const std::string& what) {
  if (text.empty() || text.size() > 5 || text.find_first_not_of("0123456789") != std::string::npos) {
    throw UsageError(what + " needs a port from 1 to 65535, not '" + text + "'");
  }
  const int port = std::stoi(text);
  if (port < 1 || port > 65535) throw UsageError(what + " needs a port from 1 to 65535, not '" + text + "'");
  return port;
}

}  // namespace

std::string BridgeArguments::HelpText() { return kHelp; }

void BridgeArguments::ParseBroker(const std::string& text, MqttSettings& settings, bool tls) {
  std::string host = text;
  std::optional<std::string> port;
  if (!text.empty() && text.front() == '[') {
    const size_t close = text.find(']');
    if (close == std::string::npos) throw UsageError("--broker: '" + text + "' lacks its ']'");
    host = text.substr(1, close - 1);
    const std::string rest = text.substr(close + 1);
    if (!rest.empty()) {
      if (rest.front() != ':') throw UsageError("--broker: unexpected '" + rest + "' after the address");
      port = rest.substr(1);
    }
  } else if (const size_t colon = text.rfind(':'); colon != std::string::npos) {
    if (text.find(':') != colon) {
      throw UsageError("--broker: write an IPv6 address in brackets, as [" + text + "]:1883");
    }
    host = text.substr(0, colon);
    port = text.substr(colon + 1);
  }
  if (host.empty()) throw UsageError("--broker needs a host");
  settings.host = host;
  settings.port = port ? ParsePort(*port, "--broker") : (tls ? 8883 : 1883);
}

CommandLine BridgeArguments::Parse(const std::vector<std::string>& args) {
  CommandLine cl;
  BridgeOptions& o = cl.options;
  std::vector<std::string> positional;
  std::optional<std::string> broker;
  bool optionsEnded = false;
  bool sawPasswordFile = false;
  std::optional<bool> retain;

  for (size_t i = 0; i < args.size(); ++i) {
    std::string arg = args[i];
    if (optionsEnded || arg.size() < 2 || arg[0] != '-' || arg[1] != '-') {
      if (!optionsEnded && arg == "-h") {
        cl.help = true;
        return cl;
      }
      if (!optionsEnded && arg.size() > 1 && arg[0] == '-') throw UsageError("unknown option '" + arg + "'");
      positional.push_back(arg);
      continue;
    }
    if (arg == "--") {
      optionsEnded = true;
      continue;
    }
    std::optional<std::string> inlineValue;
    if (size_t eq = arg.find('='); eq != std::string::npos) {
      inlineValue = arg.substr(eq + 1);
      arg = arg.substr(0, eq);
    }
    auto value = [&]() -> std::string {
      std::string v;
      if (inlineValue) {
        v = *inlineValue;
      } else {
        if (i + 1 >= args.size()) throw UsageError(arg + " needs a value");
        v = args[++i];
      }
      if (v.empty()) throw UsageError(arg + " needs a value");
      return v;
    };
    auto flag = [&]() {
      if (inlineValue) throw UsageError(arg + " takes no value");
    };

    if (arg == "--help") {
      cl.help = true;
      return cl;
    } else if (arg == "--version") {
      cl.version = true;
      return cl;
    } else if (arg == "--discover") {
      flag();
      o.discover = DiscoverMode::First;
    } else if (arg == "--discover-all") {
      flag();
      o.discover = DiscoverMode::Every;
    } else if (arg == "--subscribe") {
      o.patterns.push_back(value());
    } else if (arg == "--name") {
      o.name = value();
      try {
        client::WireText::CheckClientName(o.name);
      } catch (const client::TextError& e) {
        throw UsageError(std::string("--name: ") + e.what());
      }
    } else if (arg == "--accept-set") {
      flag();
      o.acceptSet = true;
    } else if (arg == "--broker") {
      broker = value();
    } else if (arg == "--prefix") {
      o.prefix = value();
      if (auto why = TopicNames::CheckPrefix(o.prefix)) throw UsageError("--prefix: " + *why);
    } else if (arg == "--own-event") {
      const std::string event = value();
      try {
        client::WireText::CheckEvent(event, "");
      } catch (const client::TextError& e) {
        throw UsageError(std::string("--own-event: ") + e.what());
      }
      o.ownEvents.push_back(event);
      o.acceptSet = true;
    } else if (arg == "--accept-retained-set") {
      flag();
      o.acceptRetainedSet = true;
    } else if (arg == "--retain-values") {
      flag();
      retain = true;
    } else if (arg == "--no-retain-values") {
      flag();
      retain = false;
    } else if (arg == "--json-values") {
      flag();
      o.jsonValues = true;
    } else if (arg == "--broker-profile") {
      const std::string p = value();
      if (p == "standard") {
        o.profile = BrokerProfile::Standard;
      } else if (p == "nats") {
        o.profile = BrokerProfile::Nats;
      } else {
        throw UsageError("--broker-profile needs standard or nats, not '" + p + "'");
      }
    } else if (arg == "--queue-values") {
      o.queue.values = ParseCount(value(), arg);
    } else if (arg == "--queue-bytes") {
      o.queue.bytes = ParseCount(value(), arg);
    } else if (arg == "--qos") {
      const std::string q = value();
      if (q != "0" && q != "1" && q != "2") throw UsageError("--qos needs 0, 1 or 2, not '" + q + "'");
      o.mqtt.qos = q[0] - '0';
    } else if (arg == "--homeassistant") {
      flag();
      o.homeAssistant = true;
    } else if (arg == "--discovery-prefix") {
      o.discoveryPrefix = value();
      if (auto why = TopicNames::CheckPrefix(o.discoveryPrefix)) {
        throw UsageError("--discovery-prefix: " + *why);
      }
    } else if (arg == "--client-id") {
      o.mqtt.clientId = value();
    } else if (arg == "--username") {
      o.mqtt.username = value();
    } else if (arg == "--password-file") {
      o.passwordFile = value();
      sawPasswordFile = true;
    } else if (arg == "--tls") {
      flag();
      o.mqtt.tls.on = true;
    } else if (arg == "--cafile") {
      o.mqtt.tls.cafile = value();
      o.mqtt.tls.on = true;
    } else if (arg == "--capath") {
      o.mqtt.tls.capath = value();
      o.mqtt.tls.on = true;
    } else if (arg == "--cert") {
      o.mqtt.tls.certfile = value();
      o.mqtt.tls.on = true;
    } else if (arg == "--key") {
      o.mqtt.tls.keyfile = value();
      o.mqtt.tls.on = true;
    } else if (arg == "--insecure") {
      flag();
      o.mqtt.tls.insecure = true;
    } else {
      throw UsageError("unknown option '" + arg + "'");
    }
  }

  if (o.discover != DiscoverMode::Off) {
    if (!positional.empty()) {
      throw UsageError("give a SERVER or --discover, not both ('" + positional[0] + "')");
    }
  } else {
    if (positional.empty()) throw UsageError("no SERVER given (a host name or address, or --discover)");
    if (positional.size() > 1) throw UsageError("unexpected argument '" + positional[1] + "'");
    o.server = positional[0];
    if (o.server.empty()) throw UsageError("empty SERVER");
  }
  o.retainValues = retain.value_or(o.homeAssistant);
  if (auto why = TopicNames::CheckPrefix(o.prefix, o.profile)) throw UsageError("--prefix: " + *why);
  if (auto why = TopicNames::CheckPrefix(o.discoveryPrefix, o.profile)) {
    throw UsageError("--discovery-prefix: " + *why);
  }
  if (sawPasswordFile && o.mqtt.username.empty()) throw UsageError("--password-file needs --username");
  if (o.mqtt.tls.certfile.empty() != o.mqtt.tls.keyfile.empty()) {
    throw UsageError("--cert and --key go together");
  }
  if (o.mqtt.tls.insecure && !o.mqtt.tls.on) throw UsageError("--insecure needs --tls");
  if (o.mqtt.clientId.size() > 65535) throw UsageError("--client-id is too long");
  ParseBroker(broker.value_or("127.0.0.1"), o.mqtt, o.mqtt.tls.on);
  return cl;
}

}  // namespace toruna::bridge
