// Discovery: the request, the answers it accepts, and one round over real
// loopback UDP against a plain socket standing in for a server.

#include "client/Discovery.h"

#include <gtest/gtest.h>
#include <sys/socket.h>

#include "loop/LoopPump.h"
#include "net/linux/LinuxPlatform.h"
#include "net/linux/LoopScheduler.h"
#include "net/linux/LoopbackPeers.h"
#include "net/modNetSocket.h"

namespace toruna::client {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes B(const std::string& s) { return Bytes(s.begin(), s.end()); }
// A literal with its embedded zeros (without the terminating one).
#define LIT(text) std::string(text, sizeof(text) - 1)

class DiscoveryTest : public ::testing::Test {
 protected:
  loop::EventLoop loop;
  net::LinuxPlatform platform{loop};
  net::LoopScheduler scheduler{loop};
  net::modNetSocket dispatcher{platform, &scheduler};
};

TEST_F(DiscoveryTest, RequestNamesTheOwnPort) {
  EXPECT_EQ(Discovery::Request(5000), B("?5000!"));
  EXPECT_EQ(Discovery::Request(65535), B("?65535!"));
}

TEST_F(DiscoveryTest, ParsesAnswersAndRejectsEverythingElse) {
  auto r = Discovery::ParseReply(B(LIT("***Lab\0" "2\0")));
  ASSERT_TRUE(r.has_value());
  EXPECT_EQ(r->name, "Lab");
  EXPECT_EQ(r->clients, 2);

  r = Discovery::ParseReply(Bytes{'*', '*', '*', 'C', 'a', 'f', 0xE9, 0, '1', '2', 0});
  ASSERT_TRUE(r.has_value());
  EXPECT_EQ(r->name, "Café");
  EXPECT_EQ(r->clients, 12);

  r = Discovery::ParseReply(B(LIT("***\0" "0\0")));  // empty name
  ASSERT_TRUE(r.has_value());
  EXPECT_EQ(r->name, "");
  EXPECT_EQ(r->clients, 0);

  for (const std::string& bad : {
           std::string("?5000!"),    // somebody else's request
           LIT("**Lab\0" "2\0"),     // two stars
           LIT("***Lab\0" "2"),      // count not terminated
           std::string("***Lab"),    // name not terminated
           LIT("***Lab\0\0"),        // no digits
           LIT("***Lab\0" "2x\0"),   // not a number
           LIT("***Lab\0" "1234567890123456789\0"),
           std::string(""),
       }) {
    EXPECT_FALSE(Discovery::ParseReply(B(bad)).has_value()) << bad;
  }
}

TEST_F(DiscoveryTest, ReportsEachServerOnceAndThisMachinesUnderAnyOfItsAddresses) {
  Discovery d(dispatcher, [] {
    return std::vector<LocalNetwork>{{"lo", "127.0.0.1", ""}, {"eth0", "10.99.0.1", "10.99.0.255"}};
  });
  d.Start({"127.0.0.1"}, net::testing::ClosedLoopbackPort());  // reads the networks
  std::vector<std::string> reported;
  d.OnServer = [&](const FoundServer& s) { reported.push_back(s.address + " " + s.name); };
  const Bytes lab = B(LIT("***Lab\0" "1\0"));
  EXPECT_TRUE(d.OnDatagram("127.0.0.1", lab));
  EXPECT_FALSE(d.OnDatagram("127.0.0.1", lab));  // asked twice, answered twice
  EXPECT_FALSE(d.OnDatagram("10.99.0.1", lab));  // this machine's by its LAN address
  EXPECT_TRUE(d.OnDatagram("10.99.0.7", lab));   // another machine's of the same name
  EXPECT_FALSE(d.OnDatagram("10.99.0.7", lab));
  EXPECT_TRUE(d.OnDatagram("10.99.0.1", B(LIT("***Other\0" "0\0"))));  // another name
  EXPECT_FALSE(d.OnDatagram("10.99.0.2", B("noise")));
  EXPECT_EQ(reported, (std::vector<std::string>{"127.0.0.1 Lab", "10.99.0.7 Lab", "10.99.0.1 Other"}));
  ASSERT_EQ(d.Servers().size(), 3u);
  EXPECT_EQ(d.Servers()[1].clients, 1);
  EXPECT_FALSE(d.IsBroadcast("127.0.0.1"));
}

TEST_F(DiscoveryTest, AsksAtThePortAndTakesTheAnswerAtItsOwn) {
  uint16_t serverPort = 0;
  net::testing::Fd server = net::testing::BoundLoopbackSocket(SOCK_DGRAM, &serverPort);

  Discovery d(dispatcher);
  d.Start({"127.0.0.1"}, serverPort);
  char request[64];
  ssize_t n = -1;
  ASSERT_TRUE(loop::testing::PumpUntil(loop, [&] {
    n = recv(server.get(), request, sizeof request, MSG_DONTWAIT);
    return n > 0;
  }));
  // "?" port "!": the answer goes to the port the request names.
  const std::string text(request, static_cast<size_t>(n));
  ASSERT_EQ(text.front(), '?');
  ASSERT_EQ(text.back(), '!');
  const auto answerPort = static_cast<uint16_t>(std::stoi(text.substr(1, text.size() - 2)));
  net::testing::SendDatagram(server.get(), answerPort, LIT("***Relay\0" "3\0"));
  ASSERT_TRUE(loop::testing::PumpUntil(loop, [&] { return !d.Servers().empty(); }));
  EXPECT_EQ(d.Servers()[0].address, "127.0.0.1");
  EXPECT_EQ(d.Servers()[0].name, "Relay");
  EXPECT_EQ(d.Servers()[0].clients, 3);
}

}  // namespace
}  // namespace toruna::client
