#include "Options.h"

#include <gtest/gtest.h>

#include <vector>

using loadgen::Options;
using loadgen::ParseOptions;

namespace {

bool Parse(std::vector<const char*> args, Options& o, std::string& error) {
  args.insert(args.begin(), "toruna-loadgen");
  return ParseOptions(static_cast<int>(args.size()), const_cast<char**>(args.data()), o, error);
}

}  // namespace

TEST(OptionsTest, AnnounceHasWatchersAndNewcomersOfItsOwnUnlessGiven) {
  Options o;
  std::string error;
  ASSERT_TRUE(Parse({"--proto", "toruna", "--scenario", "announce"}, o, error)) << error;
  EXPECT_EQ(o.subscribers, 100u);
  EXPECT_EQ(o.messages, 200u);

  Options given;
  ASSERT_TRUE(Parse({"--subs", "3", "--proto", "toruna", "--messages", "5", "--scenario", "announce"},
                    given, error)) << error;
  EXPECT_EQ(given.subscribers, 3u);
  EXPECT_EQ(given.messages, 5u);
}

TEST(OptionsTest, OtherScenariosKeepTheirDefaults) {
  Options o;
  std::string error;
  ASSERT_TRUE(Parse({"--proto", "nats", "--scenario", "connscale", "--clients", "50"}, o, error)) << error;
  EXPECT_EQ(o.subscribers, 1u);
  EXPECT_EQ(o.messages, UINT64_MAX);
  EXPECT_EQ(o.clients, 50u);
  EXPECT_EQ(o.label, "nats");
}

TEST(OptionsTest, LightAndRestHaveTenSubscribersUnlessGiven) {
  for (const char* scenario : {"light", "rest"}) {
    Options o;
    std::string error;
    ASSERT_TRUE(Parse({"--proto", "redis", "--scenario", scenario, "--rate", "20000"}, o, error)) << error;
    EXPECT_EQ(o.subscribers, 10u);
    EXPECT_EQ(o.rate, 20000);
  }
}

TEST(OptionsTest, UnknownScenarioAndBadNumbersAreRefused) {
  for (const auto& args : {std::vector<const char*>{"--proto", "toruna", "--scenario", "announces"},
                           std::vector<const char*>{"--proto", "toruna", "--pending", "0"},
                           std::vector<const char*>{"--proto", "toruna", "--scenario", "storm", "--how", "leave"},
                           std::vector<const char*>{"--proto", "toruna", "--scenario", "storm", "--rate", "0"},
                           std::vector<const char*>{"--scenario", "announce"}}) {
    Options o;
    std::string error;
    EXPECT_FALSE(Parse(args, o, error)) << args[1];
    EXPECT_FALSE(error.empty());
  }
}
