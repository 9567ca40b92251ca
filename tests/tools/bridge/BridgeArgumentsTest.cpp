// The command line into options: defaults, what implies what, the broker's
// address forms. (Refusals and their status are checked on the real program.)

#include "BridgeArguments.h"

#include <gtest/gtest.h>

namespace toruna::bridge {
namespace {

BridgeOptions Parse(std::vector<std::string> args) { return BridgeArguments::Parse(args).options; }

TEST(BridgeArgumentsTest, DefaultsBridgeEveryEventOfOneServerToTheLocalBroker) {
  const BridgeOptions o = Parse({"lab.local"});
  EXPECT_EQ(o.server, "lab.local");
  EXPECT_EQ(o.discover, DiscoverMode::Off);
  EXPECT_EQ(o.mqtt.host, "127.0.0.1");
  EXPECT_EQ(o.mqtt.port, 1883);
  EXPECT_EQ(o.mqtt.qos, 1);
  EXPECT_FALSE(o.mqtt.tls.on);
  EXPECT_EQ(o.prefix, "toruna");
  EXPECT_TRUE(o.patterns.empty());
  EXPECT_EQ(o.name, "bridge");
  EXPECT_FALSE(o.acceptSet || o.retainValues || o.homeAssistant);
  EXPECT_EQ(o.discoveryPrefix, "homeassistant");
}

TEST(BridgeArgumentsTest, OptionsTakeValuesBothWaysAndCertificatesImplyTls) {
  const BridgeOptions o =
      Parse({"--discover-all", "--subscribe", "A/*", "--subscribe=B*", "--prefix=site/one", "--qos", "0",
             "--name", "Brücke", "--accept-set", "--retain-values", "--homeassistant", "--discovery-prefix",
             "ha", "--client-id", "me", "--username", "u", "--cafile", "/ca.pem", "--cert", "c", "--key", "k",
             "--insecure", "--broker", "mq"});
  EXPECT_EQ(o.discover, DiscoverMode::Every);
  EXPECT_EQ(o.patterns, (std::vector<std::string>{"A/*", "B*"}));
  EXPECT_EQ(o.prefix, "site/one");
  EXPECT_EQ(o.mqtt.qos, 0);
  EXPECT_EQ(o.name, "Brücke");
  EXPECT_TRUE(o.acceptSet && o.retainValues && o.homeAssistant);
  EXPECT_EQ(o.discoveryPrefix, "ha");
  EXPECT_EQ(o.mqtt.clientId, "me");
  EXPECT_EQ(o.mqtt.username, "u");
  EXPECT_TRUE(o.mqtt.tls.on);
  EXPECT_EQ(o.mqtt.tls.cafile, "/ca.pem");
  EXPECT_EQ(o.mqtt.tls.certfile, "c");
  EXPECT_EQ(o.mqtt.tls.keyfile, "k");
  EXPECT_TRUE(o.mqtt.tls.insecure);
  EXPECT_EQ(o.mqtt.host, "mq");
  EXPECT_EQ(o.mqtt.port, 8883);  // TLS's port when none is given
  EXPECT_EQ(Parse({"--discover"}).discover, DiscoverMode::First);
  EXPECT_EQ(Parse({"--", "--odd-host"}).server, "--odd-host");
  EXPECT_TRUE(BridgeArguments::Parse({"x", "--help"}).help);
}

TEST(BridgeArgumentsTest, TheBrokerIsAHostAnIPv6AddressInBracketsAndAPort) {
  struct Case {
    std::string text;
    std::string host;
    int port;
  };
  for (const Case& c : {Case{"mq", "mq", 1883}, Case{"mq:1884", "mq", 1884}, Case{"10.0.0.1:1", "10.0.0.1", 1},
                        Case{"[::1]", "::1", 1883}, Case{"[fe80::1%eth0]:65535", "fe80::1%eth0", 65535}}) {
    MqttSettings s;
    BridgeArguments::ParseBroker(c.text, s, false);
    EXPECT_EQ(s.host, c.host) << c.text;
    EXPECT_EQ(s.port, c.port) << c.text;
  }
  for (const char* bad : {"", ":1883", "mq:", "mq:0", "mq:65536", "mq:x", "[::1", "[::1]1883", "::1"}) {
    MqttSettings s;
    EXPECT_THROW(BridgeArguments::ParseBroker(bad, s, false), UsageError) << bad;
  }
}

TEST(BridgeArgumentsTest, FlagsTakeNoValueAndValuesMustNotBeEmpty) {
  EXPECT_THROW(Parse({"x", "--tls=yes"}), UsageError);
  EXPECT_THROW(Parse({"x", "--subscribe="}), UsageError);
  EXPECT_THROW(Parse({"x", "--broker"}), UsageError);
  EXPECT_THROW(Parse({"x", "--name", std::string(1001, 'n')}), UsageError);
  EXPECT_THROW(Parse({"x", "-v"}), UsageError);
}

TEST(BridgeArgumentsTest, HomeAssistantRetainsValuesUnlessToldAndOwnEventsImplyAcceptSet) {
  EXPECT_TRUE(Parse({"lab", "--homeassistant"}).retainValues);
  EXPECT_FALSE(Parse({"lab", "--homeassistant", "--no-retain-values"}).retainValues);
  EXPECT_FALSE(Parse({"lab", "--no-retain-values", "--retain-values", "--no-retain-values"}).retainValues);
  const BridgeOptions o = Parse({"lab", "--own-event", "Lamp", "--own-event=Hall/Light", "--json-values",
                                 "--queue-values", "500", "--queue-bytes=4096", "--broker-profile", "nats"});
  EXPECT_EQ(o.ownEvents, (std::vector<std::string>{"Lamp", "Hall/Light"}));
  EXPECT_TRUE(o.acceptSet && o.jsonValues);
  EXPECT_FALSE(o.acceptRetainedSet);
  EXPECT_EQ(o.queue.values, 500u);
  EXPECT_EQ(o.queue.bytes, 4096u);
  EXPECT_EQ(o.profile, BrokerProfile::Nats);
  for (const std::vector<std::string>& bad :
       {std::vector<std::string>{"lab", "--broker-profile", "emqx"}, {"lab", "--queue-values", "0"},
        {"lab", "--queue-bytes", "1k"}, {"lab", "--own-event", "Snow☃"},
        // NATS takes no dot in a topic, so neither may the prefix hold one.
        {"lab", "--prefix", "site.a", "--broker-profile", "nats"}}) {
    EXPECT_THROW(Parse(bad), UsageError) << bad[1];
  }
  EXPECT_EQ(Parse({"lab", "--prefix", "site.a"}).prefix, "site.a");
}

}  // namespace
}  // namespace toruna::bridge
