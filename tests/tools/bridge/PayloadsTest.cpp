// What the bridge writes into messages and reads from them: the meta JSON,
// values from set topics, and Home Assistant's discovery configs.

#include <gtest/gtest.h>

#include "HomeAssistant.h"
#include "Payloads.h"

namespace toruna::bridge {
namespace {

TEST(Payloads, MetaDescribesTheEventWithTextEscapedAndTheOwnerIdWhenKnown) {
  // As docs/bridge.md shows it.
  EXPECT_EQ(Payloads::Meta({3, "Kitchen", 2, "Temp", "°C", 1000, 120}),
            R"({"id":3,"name":"Temp","unit":"°C","interval":1000,"max":120,"owner":"Kitchen","owner_id":2})");
  BridgedEvent e{2, "Al \"x\"", 1, "Temp\\1", "°C", 1000, 120};
  EXPECT_EQ(Payloads::Meta(e),
            R"({"id":2,"name":"Temp\\1","unit":"°C","interval":1000,"max":120,"owner":"Al \"x\"","owner_id":1})");
  e.ownerId.reset();
  e.interval = -5;
  EXPECT_EQ(Payloads::Meta(e),
            R"({"id":2,"name":"Temp\\1","unit":"°C","interval":-5,"max":120,"owner":"Al \"x\""})");
}

TEST(Payloads, AValueIsAWholeNumberFrom0To255WithBlanksAround) {
  const std::pair<std::string, std::optional<uint8_t>> table[] = {
      {"0", 0},     {"255", 255}, {" 42\n", 42}, {"\t7\r\n", 7}, {"007", 7},
      {"256", {}},  {"-1", {}},   {"4 2", {}},   {"", {}},        {"  ", {}},
      {"1.0", {}},  {"0x10", {}}, {"1000", {}},  {"+1", {}},      {"on", {}},
  };
  for (const auto& [text, value] : table) EXPECT_EQ(Payloads::ParseValue(text), value) << text;
}

TEST(HomeAssistant, SlugsAndHashesMakeIdsThatNamesReducedAlikeDoNotShare) {
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

TEST(HomeAssistant, ASensorFollowsTheValueTopicAndANumberSetsTheEvent) {
  const TopicNames topics("toruna", "Lab");
  const HomeAssistant ha("ha", "Lab", topics);
  const std::string sensor = ha.Config({5, "Kitchen", 4, "Temp", "°C", 0, 255}, false);
  for (const char* part : {R"("name":"Temp")", R"("state_topic":"toruna/Lab/Kitchen/Temp")",
                           R"("json_attributes_topic":"toruna/Lab/Kitchen/Temp/meta")",
                           R"("availability_topic":"toruna/Lab/status")", R"("payload_available":"online")",
                           R"("payload_not_available":"offline")", R"("unit_of_measurement":"°C")",
                           R"("state_class":"measurement")", R"("device":{"identifiers":["toruna_)",
                           R"("name":"Kitchen")"}) {
    EXPECT_NE(sensor.find(part), std::string::npos) << part << " in " << sensor;
  }
  EXPECT_EQ(sensor.find("command_topic"), std::string::npos);

  const std::string number = ha.Config({6, "bridge", std::nullopt, "Lamp", "", 0, 100}, true);
  for (const char* part : {R"("command_topic":"toruna/Lab/bridge/Lamp/set")", R"("min":0)", R"("max":100)",
                           R"("step":1)"}) {
    EXPECT_NE(number.find(part), std::string::npos) << part << " in " << number;
  }
  EXPECT_EQ(number.find("unit_of_measurement"), std::string::npos);
  EXPECT_EQ(ha.ConfigTopic({6, "bridge", std::nullopt, "Lamp", "", 0, 100}, true).rfind("ha/number/", 0), 0u);
}

}  // namespace
}  // namespace toruna::bridge
