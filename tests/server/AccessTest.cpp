// Whom the server serves (AllowFrom), where it listens (Listen), the name a
// service takes without Servername, and server sockets whose port is taken.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "net/CNetSocket.h"
#include "server/AccessSettings.h"
#include "server/RefusalLog.h"
#include "server/RelayTestClient.h"
#include "server/ServerHarness.h"

namespace toruna::server::testing {
namespace {

uint32_t Ip(const std::string& dotted) {
  uint32_t address = 0;
  EXPECT_TRUE(AccessSettings::ParseAddress(dotted, address)) << dotted;
  return address;
}

AccessSettings Read(const std::string& content, const std::string& defaultAllow = "any") {
  TempSettings file(content);
  return AccessSettings::Read(clsSettings(file.path()), defaultAllow);
}

TEST(AccessSettingsTest, LocalCoversLoopbackLinkLocalAndThePrivateRangesOnly) {
  const AccessSettings local = Read("[Toruna]\nAllowFrom=local\n");
  for (const char* inside : {"127.0.0.1", "127.255.255.254", "169.254.3.4", "10.0.0.1",
                             "10.255.255.255", "172.16.0.1", "172.31.255.255", "192.168.0.1",
                             "192.168.255.255", "100.64.0.1", "100.127.255.255"}) {
    EXPECT_TRUE(local.Allows(Ip(inside))) << inside;
  }
  for (const char* outside : {"8.8.8.8", "172.15.255.255", "172.32.0.0", "192.169.0.1",
                              "100.63.255.255", "100.128.0.0", "169.255.0.1", "11.0.0.1",
                              "0.0.0.0", "255.255.255.255"}) {
    EXPECT_FALSE(local.Allows(Ip(outside))) << outside;
  }
  EXPECT_FALSE(local.AllowsAll());
  EXPECT_FALSE(local.Allows("not an address"));
}

TEST(AccessSettingsTest, ReadsAddressesRangesAndKeywordsInAList) {
  const AccessSettings list = Read("[Toruna]\nAllowFrom= 203.0.113.7, 198.51.100.0/24\t10.1.0.0/16 \n");
  EXPECT_TRUE(list.Allows("203.0.113.7"));
  EXPECT_FALSE(list.Allows("203.0.113.8"));
  EXPECT_TRUE(list.Allows("198.51.100.255"));
  EXPECT_FALSE(list.Allows("198.51.101.0"));
  EXPECT_TRUE(list.Allows("10.1.200.3"));
  EXPECT_FALSE(list.Allows("10.2.0.1"));
  EXPECT_FALSE(list.Allows("127.0.0.1"));
  EXPECT_TRUE(list.Problems().empty());
  // A range written with host bits set still means its network.
  EXPECT_TRUE(Read("[Toruna]\nAllowFrom=192.0.2.77/30\n").Allows("192.0.2.76"));
  EXPECT_TRUE(Read("[Toruna]\nAllowFrom=any\n", "local").AllowsAll());
  EXPECT_TRUE(Read("[Toruna]\nAllowFrom=0.0.0.0/0\n", "local").Allows("8.8.8.8"));
}

TEST(AccessSettingsTest, BadItemsAreLeftOutAndNeverOpenItWider) {
  const AccessSettings some = Read("[Toruna]\nAllowFrom=10.0.0.0/33, 192.168.1.0/24, every, 1.2.3\n");
  EXPECT_TRUE(some.Allows("192.168.1.9"));
  EXPECT_FALSE(some.Allows("10.0.0.1"));
  EXPECT_FALSE(some.Allows("8.8.8.8"));
  ASSERT_EQ(some.Problems().size(), 3u);
  EXPECT_EQ(some.Problems()[0],
            "AllowFrom: \"10.0.0.0/33\" is no address, range (a.b.c.d/n), \"local\" or \"any\"; it is left out");

  // Nothing usable: the default, said once more.
  const AccessSettings none = Read("[Toruna]\nAllowFrom=everyone\n", "local");
  EXPECT_FALSE(none.Allows("8.8.8.8"));
  EXPECT_TRUE(none.Allows("192.168.1.1"));
  EXPECT_EQ(none.Problems().back(), "AllowFrom names no range that can be used; \"local\" is used");
  // Unset: the default, without a word.
  EXPECT_TRUE(Read("[Toruna]\n", "local").Problems().empty());
  EXPECT_TRUE(Read("[Toruna]\n", "any").AllowsAll());
}

TEST(AccessSettingsTest, ListenTakesOneAddressAndFallsBackToEveryAddress) {
  EXPECT_EQ(Read("").Listen(), "0.0.0.0");
  EXPECT_EQ(Read("[Toruna]\nListen= 127.0.0.1 \n").Listen(), "127.0.0.1");
  const AccessSettings bad = Read("[Toruna]\nListen=localhost\n");
  EXPECT_EQ(bad.Listen(), "0.0.0.0");
  ASSERT_EQ(bad.Problems().size(), 1u);
  EXPECT_EQ(bad.Problems()[0], "Listen=localhost in the settings file is no IPv4 address; every address is used");
}

TEST(RefusalLogTest, OneLinePerSourcePerMinuteAndAFewPerTickInAll) {
  RefusalLog log;
  EXPECT_TRUE(log.ShouldLog(1, 0));
  EXPECT_FALSE(log.ShouldLog(1, 0));
  EXPECT_FALSE(log.ShouldLog(1, RefusalLog::kTicksPerSource - 1));
  EXPECT_TRUE(log.ShouldLog(1, RefusalLog::kTicksPerSource));

  // A scan from many sources: a handful of lines per tick, then quiet until the next.
  uint32_t logged = 0;
  for (uint32_t source = 100; source < 200; ++source) logged += log.ShouldLog(source, 1000) ? 1 : 0;
  EXPECT_EQ(logged, RefusalLog::kLinesPerTick);
  EXPECT_TRUE(log.ShouldLog(500, 1001));
}

TEST(RefusalLogTest, TheTableOfSourcesStaysBoundedAndNewSourcesAreStillLogged) {
  RefusalLog log;
  uint32_t source = 0, logged = 0;
  for (uint32_t tick = 0; tick < 3 * RefusalLog::kMaxSources; ++tick) {
    for (uint32_t i = 0; i < RefusalLog::kLinesPerTick; ++i) logged += log.ShouldLog(source++, tick);
    ASSERT_LE(log.Sources(), RefusalLog::kMaxSources);
  }
  EXPECT_EQ(logged, source);
}

void Allow(ServerConfig& config, const std::string& allow) { config.defaultAllowFrom = allow; }

TEST(AccessServerTest, AConnectionFromOutsideAllowFromIsClosedWithOneLine) {
  TempSettings settings("[Toruna]\nServername=Lab\nAllowFrom=10.0.0.0/8\n");
  ServerHarness server(settings.path());
  server.form->Form_Load();
  const int32_t port = server.form->Listen->LocalPort();
  RelayTestClient first(port), second(port);
  ASSERT_TRUE(server.PumpUntil([&] {
    first.Poll();
    second.Poll();
    return first.PeerClosed() && second.PeerClosed();
  }));
  EXPECT_EQ(server.form->colConnections.Count(), 0);
  EXPECT_EQ(server.frontEnd.lines,
            std::vector<std::string>{"connection from 127.0.0.1 refused: not in AllowFrom"});
  EXPECT_EQ(server.form->Listen->State(), net::StateListening);
}

TEST(AccessServerTest, ADiscoveryRequestFromOutsideAllowFromIsNotAnswered) {
  TempSettings settings("[Toruna]\nServername=Lab\n");
  ServerHarness refusing(settings.path(), false, [](ServerConfig& c) { Allow(c, "192.168.0.0/16"); });
  refusing.form->Form_Load();
  UdpPeer peer;
  peer.SendTo(refusing.form->SearchSock->LocalPort(), "?" + std::to_string(peer.port()) + "!");
  refusing.PumpFor(std::chrono::milliseconds(100));
  EXPECT_EQ(peer.Receive(), std::nullopt);
  EXPECT_EQ(refusing.frontEnd.lines,
            std::vector<std::string>{"discovery request from 127.0.0.1 refused: not in AllowFrom"});
  // The same source trying to connect next is said too: each kind has its own limit.
  RelayTestClient refused(refusing.form->Listen->LocalPort());
  ASSERT_TRUE(refusing.PumpUntil([&] { return refusing.frontEnd.lines.size() == 2; }));
  EXPECT_EQ(refusing.frontEnd.lines[1], "connection from 127.0.0.1 refused: not in AllowFrom");

  // The service's default serves loopback.
  ServerHarness local(settings.path(), false, [](ServerConfig& c) { Allow(c, "local"); });
  local.form->Form_Load();
  peer.SendTo(local.form->SearchSock->LocalPort(), "?" + std::to_string(peer.port()) + "!");
  EXPECT_TRUE(local.PumpUntil([&] { return peer.Receive().has_value(); }));
  RelayTestClient client(local.form->Listen->LocalPort());
  EXPECT_TRUE(local.PumpUntil([&] { return local.form->colConnections.Count() == 1; }));
}

TEST(AccessServerTest, ListenBindsTheTcpPortToTheAddressGiven) {
  TempSettings settings("[Toruna]\nListen=127.0.0.1\n");
  ServerHarness server(settings.path());
  server.form->Form_Load();
  EXPECT_EQ(server.form->Listen->State(), net::StateListening);
  EXPECT_EQ(server.form->Listen->LocalIP(), "127.0.0.1");
  // Discovery stays on every address: a broadcast reaches no socket bound to one.
  EXPECT_EQ(server.form->SearchSock->LocalIP(), "0.0.0.0");
}

TEST(AccessServerTest, TheServiceNameIsTheDefaultOnlyWithoutServername) {
  auto named = [](ServerConfig& c) { c.defaultName = "host-7"; };
  TempSettings unset("[Toruna]\nServername=  \n");
  ServerHarness service(unset.path(), false, named);
  service.form->Form_Load();
  EXPECT_EQ(service.form->ServerName(), "host-7");
  TempSettings set("[Toruna]\nServername=Lab\n");
  ServerHarness overridden(set.path(), false, named);
  overridden.form->Form_Load();
  EXPECT_EQ(overridden.form->ServerName(), "Lab");
}

TEST(AccessServerTest, AFileWithoutTheSectionOrThatCannotBeReadIsReported) {
  TempSettings wrong("[toruna settings]\nServername=Lab\n");
  ServerHarness server(wrong.path());
  server.form->Form_Load();
  ASSERT_EQ(server.form->SettingsProblems().size(), 1u);
  EXPECT_EQ(server.form->SettingsProblems()[0],
            "the settings file \"" + wrong.path() + "\" has no [Toruna] section; its settings are not used");

  // A folder where the file should be (root reads any file, so no mode would do).
  TempSettings folder("");
  std::filesystem::remove(folder.path());
  std::filesystem::create_directory(folder.path());
  EXPECT_EQ(clsSettings(folder.path()).FileProblem(),
            "the settings file \"" + folder.path() + "\" cannot be read: it is a directory");
  // Missing, empty of settings but with the section, and lower case: nothing to say.
  std::filesystem::remove(folder.path());
  EXPECT_EQ(clsSettings(folder.path()).FileProblem(), std::nullopt);
  TempSettings fine("; comment\n[TORUNA]\n");
  EXPECT_EQ(clsSettings(fine.path()).FileProblem(), std::nullopt);
}

// A port that another program holds at start-up is taken on the first tick
// after it is let go, with one line then.
TEST(AccessServerTest, AServerSocketWhosePortIsHeldOpensOnTheTickAfterItsRelease) {
  const int holder = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  ASSERT_EQ(bind(holder, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(listen(holder, 1), 0);
  socklen_t size = sizeof address;
  getsockname(holder, reinterpret_cast<sockaddr*>(&address), &size);
  const int port = ntohs(address.sin_port);

  TempSettings settings("[Toruna]\nServername=Lab\n");
  ServerHarness server(settings.path(), false, [&](ServerConfig& c) { c.listenPort = port; });
  server.form->Form_Load();
  EXPECT_NE(server.form->Listen->State(), net::StateListening);
  EXPECT_FALSE(server.form->Serving());
  server.form->tmrMain_Timer();
  server.form->tmrMain_Timer();
  EXPECT_FALSE(server.form->Serving());
  EXPECT_TRUE(server.frontEnd.lines.empty());  // the failure is said once, at start-up

  close(holder);
  server.form->tmrMain_Timer();
  EXPECT_TRUE(server.form->Serving());
  EXPECT_EQ(server.frontEnd.lines,
            std::vector<std::string>{"TCP port " + std::to_string(port) + " is open now: clients can connect"});
  RelayTestClient client(port);
  EXPECT_TRUE(server.PumpUntil([&] { return server.form->colConnections.Count() == 1; }));
  server.form->tmrMain_Timer();
  EXPECT_EQ(server.frontEnd.lines.size(), 2u);  // "connection received", nothing more
}

}  // namespace
}  // namespace toruna::server::testing
