#include "DiscoverCommand.h"

#include <gtest/gtest.h>

#include <sstream>

namespace toruna::cli {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes B(const std::string& s) { return Bytes(s.begin(), s.end()); }
// A literal with its embedded zeros (without the terminating one).
#define LIT(text) std::string(text, sizeof(text) - 1)

TEST(DiscoverCommand, RequestNamesTheOwnPort) {
  EXPECT_EQ(DiscoverCommand::Request(5000), B("?5000!"));
  EXPECT_EQ(DiscoverCommand::Request(65535), B("?65535!"));
}

TEST(DiscoverCommand, ParsesAnswersAndRejectsEverythingElse) {
  auto r = DiscoverCommand::ParseReply(B(LIT("***Lab\0" "2\0")));
  ASSERT_TRUE(r.has_value());
  EXPECT_EQ(r->name, "Lab");
  EXPECT_EQ(r->clients, 2);

  r = DiscoverCommand::ParseReply(Bytes{'*', '*', '*', 'C', 'a', 'f', 0xE9, 0, '1', '2', 0});
  ASSERT_TRUE(r.has_value());
  EXPECT_EQ(r->name, "Café");
  EXPECT_EQ(r->clients, 12);

  r = DiscoverCommand::ParseReply(B(LIT("***\0" "0\0")));  // empty name
  ASSERT_TRUE(r.has_value());
  EXPECT_EQ(r->name, "");
  EXPECT_EQ(r->clients, 0);

  for (const std::string& bad : {
           std::string("?5000!"),               // somebody else's request
           LIT("**Lab\0" "2\0"),     // two stars
           LIT("***Lab\0" "2"),      // count not terminated
           std::string("***Lab"),               // name not terminated
           LIT("***Lab\0\0"),        // no digits
           LIT("***Lab\0" "2x\0"),   // not a number
           LIT("***Lab\0" "1234567890123456789\0"),
           std::string(""),
       }) {
    EXPECT_FALSE(DiscoverCommand::ParseReply(B(bad)).has_value()) << bad;
  }
}

TEST(DiscoverCommand, PrintsEachServerOncePerAddress) {
  std::ostringstream out, err;
  Output o(out, err, false);
  DiscoverCommand cmd(o);
  const Bytes lab = B(LIT("***TestServer 042\0" "1\0"));
  EXPECT_TRUE(cmd.OnDatagram("127.0.0.1", lab));
  EXPECT_FALSE(cmd.OnDatagram("127.0.0.1", lab));  // asked twice, answered twice
  EXPECT_TRUE(cmd.OnDatagram("10.99.0.1", lab));   // the same server by another address
  EXPECT_FALSE(cmd.OnDatagram("10.99.0.2", B("noise")));
  EXPECT_EQ(cmd.Answers(), 2u);
  EXPECT_EQ(out.str(),
            "127.0.0.1\tTestServer 042\t1 client\n"
            "10.99.0.1\tTestServer 042\t1 client\n");

  std::ostringstream jout;
  Output j(jout, err, true);
  DiscoverCommand jc(j);
  jc.OnDatagram("127.0.0.1", B(LIT("***Lab\0" "3\0")));
  EXPECT_EQ(jout.str(), "{\"type\":\"server\",\"address\":\"127.0.0.1\",\"name\":\"Lab\",\"clients\":3}\n");
}

}  // namespace
}  // namespace toruna::cli
