// What the bridge writes into messages and reads from them: the meta JSON,
// values from set topics, and Home Assistant's discovery configs.

#include <gtest/gtest.h>

#include <tuple>

#include "HomeAssistant.h"
#include "Payloads.h"

namespace toruna::bridge {
namespace {

TEST(PayloadsTest, MetaDescribesTheEventWithTextEscapedAndTheOwnerIdNullWhenUnknown) {
  // As docs/bridge.md shows it.
  EXPECT_EQ(Payloads::Meta({3, "Kitchen", 2, "Temp", "°C", 1000, 120}),
            R"({"id":3,"name":"Temp","unit":"°C","interval":1000,"max":120,"owner":"Kitchen","owner_id":2})");
  BridgedEvent e{2, "Al \"x\"", 1, "Temp\\1", "°C", 1000, 120};
  EXPECT_EQ(Payloads::Meta(e),
            R"({"id":2,"name":"Temp\\1","unit":"°C","interval":1000,"max":120,"owner":"Al \"x\"","owner_id":1})");
  e.ownerId.reset();
  e.interval = -5;
  EXPECT_EQ(Payloads::Meta(e),
            R"({"id":2,"name":"Temp\\1","unit":"°C","interval":-5,"max":120,"owner":"Al \"x\"","owner_id":null})");
}

TEST(PayloadsTest, AJsonValueCarriesItsTimeInUtcToTheMillisecond) {
  using namespace std::chrono;
  const system_clock::time_point t{milliseconds(1796846156123)};  // 2026-12-09T19:55:56.123Z
  EXPECT_EQ(Payloads::Value(21, t), R"({"value":21,"time":"2026-12-09T19:55:56.123Z"})");
  EXPECT_EQ(Payloads::Time(system_clock::time_point{milliseconds(5)}), "1970-01-01T00:00:00.005Z");
  EXPECT_EQ(Payloads::Value(255), "255");
}

TEST(PayloadsTest, AValueIsAWholeNumberFrom0To255WithBlanksAround) {
  const std::pair<std::string, std::optional<uint8_t>> table[] = {
      {"0", 0},     {"255", 255}, {" 42\n", 42}, {"\t7\r\n", 7}, {"007", 7},
      {"256", {}},  {"-1", {}},   {"4 2", {}},   {"", {}},        {"  ", {}},
      {"1.0", {}},  {"0x10", {}}, {"1000", {}},  {"+1", {}},      {"on", {}},
  };
  for (const auto& [text, value] : table) EXPECT_EQ(Payloads::ParseValue(text), value) << text;
}

TEST(PayloadsTest, SlugsAndHashesMakeIdsThatNamesReducedAlikeDoNotShare) {
  EXPECT_EQ(HomeAssistant::Slug("Lab Ä/1"), "lab_1");
  EXPECT_EQ(HomeAssistant::Slug("--Kitchen--Temp--"), "kitchen_temp");
  EXPECT_EQ(HomeAssistant::Slug("äöü"), "x");
  EXPECT_EQ(HomeAssistant::Slug("abcdefghij", 4), "abcd");
  EXPECT_EQ(HomeAssistant::Hash("").size(), 8u);
  EXPECT_NE(HomeAssistant::Hash("a"), HomeAssistant::Hash("b"));

  const TopicNames topics("toruna", "Lab");
  const HomeAssistant ha("homeassistant", "Lab", topics);
  // As docs/bridge.md shows it.
  EXPECT_EQ(ha.ConfigTopic({3, "Kitchen", 2, "Temp", "°C", 1000, 120}, false),
            "homeassistant/sensor/toruna_lab/toruna_lab_kitchen_temp_dbade50a/config");
  BridgedEvent a{5, "Kitchen", 4, "Temp 1", "°C", 0, 255};
  BridgedEvent b = a;
  b.name = "Temp/1";  // the same slug
  const std::string topicA = ha.ConfigTopic(a, false);
  EXPECT_EQ(topicA.rfind("homeassistant/sensor/toruna_lab/toruna_lab_kitchen_temp_1_", 0), 0u) << topicA;
  EXPECT_NE(topicA, ha.ConfigTopic(b, false));
  EXPECT_EQ(topicA.substr(topicA.size() - 7), "/config");
  // The same event is the same entity, whatever its ID on this run.
  b = a;
  b.id = 99;
  EXPECT_EQ(topicA, ha.ConfigTopic(b, false));
}

// Each part as Home Assistant's discovery reads it: default_entity_id (not the
// object_id it stops taking in 2026.4), both availability topics with "all",
// the server as the device each client's device is reached through.
TEST(PayloadsTest, ASensorFollowsTheValueTopicAndANumberSetsTheEvent) {
  const TopicNames topics("toruna", "Lab");
  const HomeAssistant ha("ha", "Lab", topics, false, "1.2.3");
  const std::string id = "toruna_lab_kitchen_temp_" + HomeAssistant::Hash(std::string("Lab\0Kitchen\0Temp", 16));
  const std::string sensor = ha.Config({5, "Kitchen", 4, "Temp", "°C", 1000, 255}, false);
  for (const std::string& part :
       {R"({"name":"Temp","unique_id":")" + id + R"(","default_entity_id":"sensor.)" + id + "\"",
        std::string(R"("state_topic":"toruna/Lab/Kitchen/Temp")"),
        std::string(R"("json_attributes_topic":"toruna/Lab/Kitchen/Temp/meta")"),
        std::string(R"("availability":[{"topic":"toruna/Lab/status"},{"topic":"toruna/Lab/Kitchen/Temp/available"}],)"
                    R"("availability_mode":"all")"),
        std::string(R"("state_class":"measurement","device_class":"temperature","expire_after":10,)"
                    R"("unit_of_measurement":"°C")"),
        std::string(R"j("name":"Kitchen (Lab)","manufacturer":"Toruna","model":"Toruna client",)j"
                    R"("via_device":"toruna_server_)" + HomeAssistant::Hash("Lab") + "\"}"),
        std::string(R"("origin":{"name":"toruna-bridge","sw_version":"1.2.3"}})")}) {
    EXPECT_NE(sensor.find(part), std::string::npos) << part << " in " << sensor;
  }
  for (const char* absent : {"object_id", "command_topic", "value_template", "availability_topic"}) {
    EXPECT_EQ(sensor.find(absent), std::string::npos) << absent;
  }

  const std::string number = ha.Config({6, "bridge", std::nullopt, "Lamp", "", 0, 100}, true);
  for (const char* part : {R"("default_entity_id":"number.toruna_lab_bridge_lamp_)",
                           R"("command_topic":"toruna/Lab/bridge/Lamp/set")", R"("min":0,"max":100,"step":1)"}) {
    EXPECT_NE(number.find(part), std::string::npos) << part << " in " << number;
  }
  for (const char* absent : {"unit_of_measurement", "state_class", "expire_after"}) {
    EXPECT_EQ(number.find(absent), std::string::npos) << absent;
  }
  EXPECT_EQ(ha.ConfigTopic({6, "bridge", std::nullopt, "Lamp", "", 0, 100}, true).rfind("ha/number/", 0), 0u);

  // JSON values: the entity reads the number out of them.
  const HomeAssistant json("ha", "Lab", topics, true);
  EXPECT_NE(json.Config({5, "Kitchen", 4, "Temp", "", 0, 255}, false).find(R"("value_template":"{{ value_json.value }}")"),
            std::string::npos);

  // The server's own device: a connectivity sensor on the status topic.
  const std::string server = ha.ServerConfig();
  for (const std::string& part :
       {std::string(R"("state_topic":"toruna/Lab/status","payload_on":"online","payload_off":"offline",)"
                    R"("device_class":"connectivity")"),
        R"("identifiers":["toruna_server_)" + HomeAssistant::Hash("Lab") + R"("],"name":"Lab")"}) {
    EXPECT_NE(server.find(part), std::string::npos) << part << " in " << server;
  }
  EXPECT_EQ(ha.ServerConfigTopic().rfind("ha/binary_sensor/toruna_lab/", 0), 0u);
}

TEST(PayloadsTest, DeviceClassesForKnownUnitsAndExpiryFromTheInterval) {
  const std::tuple<const char*, const char*, std::optional<std::string>> table[] = {
      {"°C", "Temp", "temperature"}, {"W", "Load", "power"},        {"lx", "Light", "illuminance"},
      {"V", "Mains", "voltage"},     {"A", "Draw", "current"},      {"hPa", "Air", "pressure"},
      {"%", "Humidity", "humidity"}, {"%", "Battery", "battery"},   {"%", "Valve", std::nullopt},
      {"", "Temp", std::nullopt},    {"l", "Tank", std::nullopt},   {"c", "Temp", std::nullopt},
  };
  for (const auto& [unit, name, cls] : table) EXPECT_EQ(HomeAssistant::DeviceClass(unit, name), cls) << unit << name;
  EXPECT_EQ(HomeAssistant::ExpireAfter(0), std::nullopt);
  EXPECT_EQ(HomeAssistant::ExpireAfter(-1), std::nullopt);
  EXPECT_EQ(HomeAssistant::ExpireAfter(500), 10);
  EXPECT_EQ(HomeAssistant::ExpireAfter(10000), 30);
  EXPECT_EQ(HomeAssistant::ExpireAfter(32767), 99);
}

}  // namespace
}  // namespace toruna::bridge
