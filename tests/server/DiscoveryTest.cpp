#include <gtest/gtest.h>

#include "base/DecimalCommaLocale.h"
#include "net/CNetSocket.h"
#include "protocol/Frame.h"
#include "server/RelayTestClient.h"
#include "server/ServerHarness.h"

namespace toruna::server::testing {
namespace {

std::string Reply(const std::string& name, const std::string& count) {
  return "***" + name + std::string(1, '\0') + count + std::string(1, '\0');
}

class DiscoveryTest : public ::testing::Test {
 protected:
  DiscoveryTest() : settings_("[Toruna]\nServername= Lab \n"), server_(settings_.path()) {
    server_.form->Form_Load();
  }

  int DiscoveryPort() { return server_.form->SearchSock->LocalPort(); }

  // Sends request from the peer and waits for a datagram at the peer.
  std::optional<std::string> Ask(UdpPeer& peer, const std::string& request) {
    peer.SendTo(DiscoveryPort(), request);
    std::optional<std::string> reply;
    server_.PumpUntil([&] { return (reply = peer.Receive()).has_value(); });
    return reply;
  }
  // Sends request and checks that nothing comes back.
  void ExpectIgnored(UdpPeer& peer, const std::string& request) {
    peer.SendTo(DiscoveryPort(), request);
    server_.PumpFor(std::chrono::milliseconds(100));
    EXPECT_EQ(peer.Receive(), std::nullopt) << request;
  }

  TempSettings settings_;
  ServerHarness server_;
};

TEST_F(DiscoveryTest, AnswersAtTheNamedPortWithNameAndCount) {
  UdpPeer sender, listener;
  // The request comes from one port and names another: the answer goes to the named one.
  sender.SendTo(DiscoveryPort(), "?" + std::to_string(listener.port()) + "!");
  std::optional<std::string> reply;
  ASSERT_TRUE(server_.PumpUntil([&] { return (reply = listener.Receive()).has_value(); }));
  EXPECT_EQ(*reply, Reply("Lab", "0"));
  EXPECT_EQ(reply->size(), 9u);  // n + d + 5
  EXPECT_EQ(sender.Receive(), std::nullopt);
}

TEST_F(DiscoveryTest, FindsTheMarksAnywhereAndReadsThePortText) {
  UdpPeer peer;
  const std::string port = std::to_string(peer.port());
  const std::string spaced = " " + port.substr(0, 2) + " \t" + port.substr(2) + "\n ";
  for (const std::string& request :
       {"xx?" + port + "!yy", "!?" + port + "!", "?" + spaced + "!", "?" + port + ".4!",
        "?" + port + "?99!", "?" + port + "!!?1!"}) {
    std::optional<std::string> reply = Ask(peer, request);
    ASSERT_TRUE(reply.has_value()) << request;
    EXPECT_EQ(*reply, Reply("Lab", "0")) << request;
  }
}

TEST_F(DiscoveryTest, ReadsThePortTextAlikeUnderADecimalCommaLocale) {
  base::testing::DecimalCommaLocale german;
  ASSERT_TRUE(german.active());
  UdpPeer peer;
  const int port = peer.port();
  // 5000.6 is 5001, and 45.123E3 is 45123, whatever the user's locale.
  const std::string fraction = "?" + std::to_string(port - 1) + ".6!";
  const std::string exponent = "?" + std::to_string(port / 1000) + "." +
                               std::to_string(1000 + port % 1000).substr(1) + "E3!";
  for (const std::string& request : {fraction, exponent}) {
    EXPECT_EQ(Ask(peer, request), Reply("Lab", "0")) << request;
  }
}

TEST_F(DiscoveryTest, IgnoresRequestsWithoutBothMarks) {
  UdpPeer peer;
  const std::string port = std::to_string(peer.port());
  for (const std::string& request : {port, "?" + port, "!?" + port, port + "!", std::string()}) {
    ExpectIgnored(peer, request);
  }
}

TEST_F(DiscoveryTest, ReadingStopsAtASecondQuestionMark) {
  // ?50?00! reads 50: the answer goes to port 50 and not to 5000.
  UdpPeer peer;
  const std::string port = std::to_string(peer.port());
  std::optional<std::string> reply = Ask(peer, "?" + port + "?00!");
  ASSERT_TRUE(reply.has_value());
  EXPECT_EQ(*reply, Reply("Lab", "0"));
}

TEST_F(DiscoveryTest, CountsRegisteredClientsOnly) {
  const int listenPort = server_.form->Listen->LocalPort();
  RelayTestClient unregistered(listenPort);
  ASSERT_TRUE(unregistered.Connected());
  ASSERT_TRUE(server_.PumpUntil([&] { return server_.form->colConnections.Count() == 1; }));

  UdpPeer peer;
  const std::string request = "?" + std::to_string(peer.port()) + "!";
  EXPECT_EQ(Ask(peer, request), Reply("Lab", "0"));

  std::vector<std::unique_ptr<RelayTestClient>> clients;
  for (const char* name : {"one", "two"}) {
    clients.push_back(std::make_unique<RelayTestClient>(listenPort));
    clients.back()->Send(protocol::frames::ClientInfoRequest(Text(name)));
  }
  ASSERT_TRUE(server_.PumpUntil([&] { return server_.form->colClients.Count() == 2; }));
  EXPECT_EQ(Ask(peer, request), Reply("Lab", "2"));
}

TEST_F(DiscoveryTest, AnswersTwoRequestsThatArriveTogether) {
  UdpPeer first, second;
  first.SendTo(DiscoveryPort(), "?" + std::to_string(first.port()) + "!");
  second.SendTo(DiscoveryPort(), "?" + std::to_string(second.port()) + "!");
  std::optional<std::string> a, b;
  ASSERT_TRUE(server_.PumpUntil([&] {
    if (!a) a = first.Receive();
    if (!b) b = second.Receive();
    return a && b;
  }));
  EXPECT_EQ(*a, Reply("Lab", "0"));
  EXPECT_EQ(*b, Reply("Lab", "0"));
}

TEST_F(DiscoveryTest, BadPortsGoUnansweredWithoutSilencingDiscovery) {
  UdpPeer peer;
  const std::string good = "?" + std::to_string(peer.port()) + "!";
  // Out of range, beyond 32 bits, and port 0 in its several spellings (nobody
  // listens there), each followed at once by a good request: no tick in between.
  for (const char* bad : {"?70000!", "?-1!", "?1e12!", "?&HFFFFFFFFFF!", "?!", "?abc!", "?0.4!"}) {
    peer.SendTo(DiscoveryPort(), bad);
    std::optional<std::string> reply = Ask(peer, good);
    ASSERT_TRUE(reply.has_value()) << "after " << bad;
    EXPECT_EQ(*reply, Reply("Lab", "0"));
    EXPECT_EQ(peer.Receive(), std::nullopt) << "one reply only, after " << bad;
    EXPECT_EQ(server_.form->SearchSock->State(), net::StateOpen);
  }
}

TEST_F(DiscoveryTest, ARefusedReplyLosesNoRequestWaitingBehindIt) {
  UdpPeer refused, next;
  server_.fake.FailNext(net::testing::Call::SendTo, 10065);
  refused.SendTo(DiscoveryPort(), "?" + std::to_string(refused.port()) + "!");
  next.SendTo(DiscoveryPort(), "?" + std::to_string(next.port()) + "!");
  std::optional<std::string> reply;
  ASSERT_TRUE(server_.PumpUntil([&] { return (reply = next.Receive()).has_value(); }));
  EXPECT_EQ(*reply, Reply("Lab", "0"));
  EXPECT_EQ(refused.Receive(), std::nullopt);
  EXPECT_EQ(server_.form->SearchSock->State(), net::StateOpen);
  // Asked again, the first one is answered too.
  EXPECT_EQ(Ask(refused, "?" + std::to_string(refused.port()) + "!"), Reply("Lab", "0"));
}

}  // namespace
}  // namespace toruna::server::testing
