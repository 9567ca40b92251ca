#include "app/CommandLine.h"

#include <gtest/gtest.h>

namespace toruna::app {
namespace {

using Action = CommandLine::Action;

TEST(CommandLineTest, RunsWithOrWithoutHeadless) {
  CommandLine none = CommandLine::Parse({});
  EXPECT_EQ(none.action(), Action::Run);
  EXPECT_FALSE(none.headless());

  CommandLine headless = CommandLine::Parse({"--headless"});
  EXPECT_EQ(headless.action(), Action::Run);
  EXPECT_TRUE(headless.headless());
  EXPECT_FALSE(headless.service());

  // The service never has a window.
  CommandLine service = CommandLine::Parse({"--service"});
  EXPECT_EQ(service.action(), Action::Run);
  EXPECT_TRUE(service.service());
  EXPECT_TRUE(service.headless());
}

TEST(CommandLineTest, HelpAndVersionWinOverTheRest) {
  EXPECT_EQ(CommandLine::Parse({"--help"}).action(), Action::Help);
  EXPECT_EQ(CommandLine::Parse({"-h"}).action(), Action::Help);
  EXPECT_EQ(CommandLine::Parse({"--headless", "--version"}).action(), Action::Version);
  EXPECT_NE(CommandLine::Usage(true).find("--headless"), std::string::npos);
  EXPECT_EQ(CommandLine::Usage(true).find("--service"), std::string::npos);
  EXPECT_NE(CommandLine::Usage().find("--service"), std::string::npos);
  EXPECT_EQ(CommandLine::VersionText("toruna-tray", "1.2.3"), "toruna-tray 1.2.3\n");
}

TEST(CommandLineTest, AnythingElseIsAnErrorNamingIt) {
  CommandLine unknown = CommandLine::Parse({"--port=5"});
  EXPECT_EQ(unknown.action(), Action::Error);
  EXPECT_EQ(unknown.error(), "unknown option '--port=5'");

  CommandLine stray = CommandLine::Parse({"--headless", "13131"});
  EXPECT_EQ(stray.action(), Action::Error);
  EXPECT_EQ(stray.error(), "unexpected argument '13131'");

  // An error before --help is still reported.
  EXPECT_EQ(CommandLine::Parse({"-x", "--help"}).action(), Action::Error);
}

}  // namespace
}  // namespace toruna::app
