// Names into topic levels and back, the topics built from them, and which
// topics the bridge takes for its own.

#include "TopicNames.h"

#include <gtest/gtest.h>

namespace toruna::bridge {
namespace {

TEST(TopicNamesTest, EscapesWhatTopicsReserveOrBrokersRefuseAndNothingElse) {
  const std::pair<std::string, std::string> table[] = {
      {"Kitchen", "Kitchen"},
      {"a/b", "a%2Fb"},
      {"+#", "%2B%23"},
      {"100%", "100%25"},
      {std::string("a\0b", 3), "a%00b"},
      {"tab\there\n", "tab%09here%0A"},
      {"\x7f", "%7F"},
      {"\xc2\x81", "%C2%81"},             // U+0081, a C1 control (Windows-1252 byte 81)
      {"°C €ü", "°C €ü"},                 // other UTF-8 stays as it is
      {"\xc2\xa0", "\xc2\xa0"},           // U+00A0 is no control
      {"$SYS", "$SYS"},                   // only a topic's first level is special
      {"", ""},
  };
  for (const auto& [name, level] : table) {
    EXPECT_EQ(TopicNames::Escape(name), level) << name;
    EXPECT_EQ(TopicNames::Unescape(level), name) << level;
  }
  // Every byte survives the round trip, and no escaped level holds a reserved one.
  std::string all;
  for (int b = 0; b < 256; ++b) all += static_cast<char>(b);
  const std::string level = TopicNames::Escape(all);
  EXPECT_EQ(level.find_first_of(std::string("/+#\0", 4)), std::string::npos);
  EXPECT_EQ(TopicNames::Unescape(level), all);
}

TEST(TopicNamesTest, UnescapeRefusesABrokenEscapeAndTakesLowerCaseHex) {
  for (const char* bad : {"%", "a%4", "%zz", "%g0", "ok%"}) {
    EXPECT_EQ(TopicNames::Unescape(bad), std::nullopt) << bad;
  }
  EXPECT_EQ(TopicNames::Unescape("a%2fb"), "a/b");
}

TEST(TopicNamesTest, TheNatsProfileAlsoEscapesWhatNatsSubjectsCannotHold) {
  const std::pair<std::string, std::string> table[] = {
      {"Lab 3", "Lab%203"}, {"Sensor.1", "Sensor%2E1"}, {"a*b>c", "a%2Ab%3Ec"}, {"Wärme+1", "Wärme%2B1"},
  };
  for (const auto& [name, level] : table) {
    EXPECT_EQ(TopicNames::Escape(name, BrokerProfile::Nats), level) << name;
    EXPECT_EQ(TopicNames::Unescape(level), name) << level;
  }
  EXPECT_EQ(TopicNames::Escape("Lab 3.1"), "Lab 3.1");
  const TopicNames t("toruna", "Lab 3", BrokerProfile::Nats);
  EXPECT_EQ(t.Value("Living Room", "T.1"), "toruna/Lab%203/Living%20Room/T%2E1");
  EXPECT_EQ(t.Available("a", "b"), "toruna/Lab%203/a/b/available");
  EXPECT_EQ(t.ParseAvailable("toruna/Lab%203/Living%20Room/T%2E1/available")->client, "Living Room");
  EXPECT_NE(TopicNames::CheckPrefix("site.a", BrokerProfile::Nats), std::nullopt);
}

TEST(TopicNamesTest, PrefixesMustBeWholeLevelsWithoutWildcards) {
  for (const char* good : {"toruna", "site/one", "a b", "ü"}) {
    EXPECT_EQ(TopicNames::CheckPrefix(good), std::nullopt) << good;
  }
  for (const char* bad : {"", "$SYS", "a/+", "#", "/abs", "trail/", "a//b"}) {
    EXPECT_NE(TopicNames::CheckPrefix(bad), std::nullopt) << bad;
  }
  EXPECT_NE(TopicNames::CheckPrefix(std::string("a\0b", 3)), std::nullopt);
}

TEST(TopicNamesTest, BuildsEachTopicUnderPrefixAndServer) {
  const TopicNames t("site/one", "Lab/2");
  EXPECT_EQ(t.Base(), "site/one/Lab%2F2");
  EXPECT_EQ(t.Status(), "site/one/Lab%2F2/status");
  EXPECT_EQ(t.Value("Wärme", "a/b"), "site/one/Lab%2F2/Wärme/a%2Fb");
  EXPECT_EQ(t.Meta("Wärme", "a/b"), "site/one/Lab%2F2/Wärme/a%2Fb/meta");
  EXPECT_EQ(t.Set("bridge", "Lamp"), "site/one/Lab%2F2/bridge/Lamp/set");
  EXPECT_EQ(t.SetFilter("my+bridge"), "site/one/Lab%2F2/my%2Bbridge/+/set");
  EXPECT_EQ(t.MetaFilter(), "site/one/Lab%2F2/+/+/meta");
}

TEST(TopicNamesTest, ParsesOnlyItsOwnSetAndMetaTopics) {
  const TopicNames t("toruna", "Lab");
  EXPECT_EQ(t.ParseSet("toruna/Lab/bridge/Hall%2FLight/set", "bridge"), "Hall/Light");
  EXPECT_EQ(t.ParseSet("toruna/Lab/bridge//set", "bridge"), "");
  for (const char* other : {"toruna/Lab/other/Lamp/set", "toruna/Lab2/bridge/Lamp/set",
                            "toruna/Lab/bridge/Lamp", "toruna/Lab/bridge/Lamp/set/x",
                            "toruna/Lab/bridge/a/b/set", "toruna/Lab/bridge/%zz/set", "toruna/Lab"}) {
    EXPECT_EQ(t.ParseSet(other, "bridge"), std::nullopt) << other;
  }
  const auto meta = t.ParseMeta("toruna/Lab/W%C3%A4rme/K%C3%BCche%2F%23/meta");
  ASSERT_TRUE(meta);
  EXPECT_EQ(meta->client, "Wärme");
  EXPECT_EQ(meta->event, "Küche/#");
  EXPECT_EQ(t.ParseMeta("toruna/Lab/status"), std::nullopt);
  EXPECT_EQ(t.ParseMeta("toruna/Lab/c/e/set"), std::nullopt);
}

}  // namespace
}  // namespace toruna::bridge
