#include "ArgumentParser.h"

#include <gtest/gtest.h>

namespace toruna::cli {
namespace {

CommandLine P(std::vector<std::string> args) { return ArgumentParser::Parse(args); }

std::string UsageMessage(std::vector<std::string> args) {
  try {
    P(args);
  } catch (const UsageError& e) {
    return e.what();
  }
  return "(accepted)";
}

TEST(ArgumentParser, DiscoverTakesTimeoutAndRepeatedTo) {
  CommandLine cl = P({"discover", "--timeout", "0.5", "--to", "127.0.0.1", "--to=10.0.0.7", "--json"});
  EXPECT_EQ(cl.command, Command::Discover);
  EXPECT_DOUBLE_EQ(cl.discover.timeoutSeconds, 0.5);
  EXPECT_EQ(cl.discover.to, (std::vector<std::string>{"127.0.0.1", "10.0.0.7"}));
  EXPECT_TRUE(cl.json);
  EXPECT_DOUBLE_EQ(P({"discover"}).discover.timeoutSeconds, 2.0);
  EXPECT_FALSE(P({"discover"}).json);
}

TEST(ArgumentParser, WatchTakesHostNameAndPatternsInAnyOrder) {
  CommandLine cl = P({"watch", "--subscribe", "*/Temp", "lab-pc", "--name", "Ann", "--subscribe=B*"});
  EXPECT_EQ(cl.command, Command::Watch);
  EXPECT_EQ(cl.watch.host, "lab-pc");
  ASSERT_TRUE(cl.watch.name.has_value());
  EXPECT_EQ(*cl.watch.name, "Ann");
  EXPECT_EQ(cl.watch.patterns, (std::vector<std::string>{"*/Temp", "B*"}));
  EXPECT_FALSE(P({"watch", "h"}).watch.name.has_value());
  // For scripts, as mosquitto_sub -C -W: end after N values or S seconds.
  CommandLine bounded = P({"watch", "h", "--count", "5", "--timeout=1.5"});
  EXPECT_EQ(bounded.watch.count, 5u);
  EXPECT_EQ(bounded.watch.timeoutSeconds, 1.5);
  EXPECT_FALSE(P({"watch", "h"}).watch.count.has_value());
  EXPECT_FALSE(P({"watch", "h"}).watch.timeoutSeconds.has_value());
}

TEST(ArgumentParser, PublishTakesEventPropertiesAndValues) {
  CommandLine cl = P({"publish", "127.0.0.1", "--event", "Temp", "--unit", "°C", "--interval",
                      "-5", "--max", "32767", "--always", "0", "255", "--", "7"});
  EXPECT_EQ(cl.command, Command::Publish);
  EXPECT_EQ(cl.publish.host, "127.0.0.1");
  EXPECT_EQ(cl.publish.event, "Temp");
  EXPECT_EQ(cl.publish.unit, "°C");
  EXPECT_EQ(cl.publish.interval, -5);
  EXPECT_EQ(cl.publish.max, 32767);
  EXPECT_TRUE(cl.publish.always);
  EXPECT_EQ(cl.publish.values, (std::vector<uint8_t>{0, 255, 7}));
  CommandLine plain = P({"publish", "h", "--event=E"});
  EXPECT_TRUE(plain.publish.values.empty());  // read from standard input
  EXPECT_FALSE(plain.publish.always);
  EXPECT_EQ(plain.publish.max, 255);
  EXPECT_FALSE(plain.publish.timeoutSeconds.has_value());  // waits for a subscriber for good
  EXPECT_EQ(P({"publish", "h", "--event=E", "--timeout", "10"}).publish.timeoutSeconds, 10.0);
}

TEST(ArgumentParser, HelpAfterACommandNamesThatCommand) {
  // --help wins even when the rest of the command line is incomplete.
  EXPECT_EQ(P({"--help"}).command, Command::Help);
  EXPECT_EQ(P({"--help"}).helpTopic, "");
  EXPECT_EQ(P({"help", "watch"}).helpTopic, "watch");
  CommandLine cl = P({"watch", "--help"});
  EXPECT_EQ(cl.command, Command::Help);
  EXPECT_EQ(cl.helpTopic, "watch");
  EXPECT_EQ(P({"publish", "h", "--help"}).helpTopic, "publish");
  EXPECT_EQ(P({"--version"}).command, Command::Version);
  EXPECT_NE(ArgumentParser::HelpText("publish").find("--always"), std::string::npos);
  EXPECT_NE(ArgumentParser::HelpText("discover").find("--timeout"), std::string::npos);
  EXPECT_NE(ArgumentParser::HelpText("").find("discover"), std::string::npos);
}

TEST(ArgumentParser, BadCommandLinesAreRejectedWithAClearReason) {
  struct Case {
    std::vector<std::string> args;
    std::string expected;
  };
  const Case cases[] = {
      {{}, "no command"},
      {{"frobnicate"}, "unknown command 'frobnicate'"},
      {{"discover", "--timeout", "0"}, "--timeout"},
      {{"discover", "--timeout", "abc"}, "--timeout"},
      {{"discover", "--timeout"}, "--timeout needs a value"},
      {{"discover", "extra"}, "unexpected argument 'extra'"},
      {{"discover", "--name", "x"}, "unknown option '--name'"},
      {{"watch"}, "watch needs a HOST"},
      {{"watch", "a", "b"}, "unexpected argument 'b'"},
      {{"watch", "h", "--name", ""}, "--name must not be empty"},
      {{"watch", "h", "-x"}, "unknown option '-x'"},
      {{"watch", "h", "--json=yes"}, "--json takes no value"},
      {{"publish", "h"}, "publish needs --event"},
      {{"publish", "--event", "E"}, "publish needs a HOST"},
      {{"publish", "h", "--event", "E", "256"}, "not '256'"},
      {{"publish", "h", "--event", "E", "1x"}, "not '1x'"},
      {{"publish", "h", "--event", "E", "--max", "40000"}, "--max"},
      {{"publish", "h", "--event", "E", "--interval", "1.5"}, "--interval"},
      {{"publish", "h", "--event", std::string(2000, 'x')}, "too long"},
      {{"publish", "h", "--event", "E", "--timeout", "-1"}, "--timeout needs a number of seconds"},
      {{"watch", "h", "--timeout", "3601"}, "--timeout needs a number of seconds"},
      {{"watch", "h", "--count", "0"}, "--count needs a whole number of values above 0, not '0'"},
      {{"watch", "h", "--count", "-3"}, "--count needs"},
      {{"watch", "h", "--count", "2x"}, "--count needs"},
      {{"watch", "h", "--count", "4294967296"}, "--count needs"},
      {{"discover", "--count", "1"}, "unknown option '--count'"},
  };
  for (const Case& c : cases) {
    const std::string message = UsageMessage(c.args);
    EXPECT_NE(message.find(c.expected), std::string::npos)
        << "args ending in '" << (c.args.empty() ? "" : c.args.back()) << "' gave: " << message;
  }
}

TEST(ArgumentParser, UsageErrorsNameTheCommandWhoseHelpApplies) {
  try {
    P({"publish", "h"});
    FAIL() << "accepted";
  } catch (const UsageError& e) {
    EXPECT_EQ(e.Command(), "publish");
  }
  try {
    P({"nope"});
    FAIL() << "accepted";
  } catch (const UsageError& e) {
    EXPECT_EQ(e.Command(), "");
  }
}

TEST(ArgumentParser, ValuesAreDecimalBytes) {
  EXPECT_EQ(ArgumentParser::ParseValue("0"), uint8_t{0});
  EXPECT_EQ(ArgumentParser::ParseValue("007"), uint8_t{7});
  EXPECT_EQ(ArgumentParser::ParseValue("255"), uint8_t{255});
  for (const char* bad : {"", "256", "-1", "+1", "0x10", "1 2", "1000", "12a"}) {
    EXPECT_FALSE(ArgumentParser::ParseValue(bad).has_value()) << bad;
  }
}

}  // namespace
}  // namespace toruna::cli
