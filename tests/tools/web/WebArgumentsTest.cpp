#include "WebArguments.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace toruna::web {
namespace {

using Args = std::vector<std::string>;

TEST(WebArgumentsTest, CommandLinesAndWhatTheyMean) {
  CommandLine cl = WebArguments::Parse({});
  EXPECT_TRUE(cl.options.discover) << "no SERVER: the servers that answer a discovery";
  EXPECT_EQ(cl.options.listen.Str(), "127.0.0.1:8080");
  EXPECT_FALSE(cl.options.allowPublish);
  EXPECT_EQ(cl.options.name, "web");

  cl = WebArguments::Parse({"lab1", "10.0.0.7", "--export", "*/Temp", "--export=Garage/*", "--allow-publish",
                            "--listen=[::]:9000", "--name", "Wall"});
  EXPECT_FALSE(cl.options.discover);
  EXPECT_EQ(cl.options.servers, (Args{"lab1", "10.0.0.7"}));
  EXPECT_EQ(cl.options.exports, (Args{"*/Temp", "Garage/*"}));
  EXPECT_TRUE(cl.options.allowPublish);
  EXPECT_EQ(cl.options.listen.Str(), "[::]:9000");
  EXPECT_EQ(cl.options.name, "Wall");

  EXPECT_TRUE(WebArguments::Parse({"--discover", "--help"}).help);
  EXPECT_TRUE(WebArguments::Parse({"--version"}).version);
  EXPECT_EQ(WebArguments::Parse({"--", "-odd-host"}).options.servers, (Args{"-odd-host"}));
}

TEST(WebArgumentsTest, BadCommandLinesSayWhatIsWrong) {
  const std::vector<std::pair<Args, std::string>> cases = {
      {{"--bogus"}, "unknown option '--bogus'"},
      {{"-x"}, "unknown option '-x'"},
      {{"lab", "--discover"}, "not both"},
      {{"--listen"}, "--listen needs a value"},
      {{"--export="}, "--export needs a value"},
      {{"--discover=yes"}, "--discover takes no value"},
      {{"--name", "Snow\u2603"}, "--name:"},
      {{""}, "empty SERVER"},
  };
  for (const auto& [args, message] : cases) {
    try {
      WebArguments::Parse(args);
      ADD_FAILURE() << "accepted " << args[0];
    } catch (const UsageError& e) {
      EXPECT_NE(std::string(e.what()).find(message), std::string::npos) << e.what();
    }
  }
}

TEST(WebArgumentsTest, ListenAddresses) {
  struct Case {
    std::string text;
    std::string address;
    uint16_t port;
    bool v6;
    bool loopback;
  };
  for (const Case& c : std::vector<Case>{{"127.0.0.1:8080", "127.0.0.1", 8080, false, true},
                                         {"127.8.9.10:1", "127.8.9.10", 1, false, true},
                                         {"localhost:80", "127.0.0.1", 80, false, true},
                                         {":9000", "0.0.0.0", 9000, false, false},
                                         {"192.168.1.5:65535", "192.168.1.5", 65535, false, false},
                                         {"[::1]:8080", "::1", 8080, true, true},
                                         {"[::]:8080", "::", 8080, true, false}}) {
    const ListenAddress l = WebArguments::ParseListen(c.text);
    EXPECT_EQ(l.address, c.address) << c.text;
    EXPECT_EQ(l.port, c.port) << c.text;
    EXPECT_EQ(l.v6, c.v6) << c.text;
    EXPECT_EQ(l.Loopback(), c.loopback) << c.text;
  }
  for (const std::string bad : {"8080", "lab:8080", "1.2.3.4:0", "1.2.3.4:65536", "1.2.3.4:80x", "::1:80",
                                "[::1]8080", "[::1]", "[lab]:80", "300.1.1.1:80", "1.2.3.4:"}) {
    EXPECT_THROW(WebArguments::ParseListen(bad), UsageError) << bad;
  }
}

}  // namespace
}  // namespace toruna::web
