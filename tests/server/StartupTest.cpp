#include <gtest/gtest.h>

#include <regex>

#include "base/RaisedError.h"
#include "net/CNetSocket.h"
#include "protocol/Frame.h"
#include "server/RelayTestClient.h"
#include "server/ServerHarness.h"

namespace toruna::server::testing {
namespace {

TEST(StartupTest, TrimsTheStoredNameAndBuildsItsServerInfoFrame) {
  TempSettings settings("[Toruna]\nServername=  Lab 3  \n");
  ServerHarness server(settings.path());
  server.form->Form_Load();
  EXPECT_EQ(server.form->ServerName(), "Lab 3");
  EXPECT_EQ(server.form->NameMessage(),
            (std::vector<uint8_t>{42, 6, 0, 8, 'L', 'a', 'b', ' ', '3'}));
}

TEST(StartupTest, MakesUpANameWhenNoneIsStored) {
  const std::regex madeUp("TestServer [0-9]{3}");
  for (const char* content : {"[Toruna]\nServername=    \n", "[Other]\nServername=x\n", ""}) {
    TempSettings settings(content);
    ServerHarness server(settings.path());
    server.form->Form_Load();
    const std::string name = server.form->ServerName();
    EXPECT_TRUE(std::regex_match(name, madeUp)) << name;
    ASSERT_EQ(server.form->NameMessage().size(), 18u);
    EXPECT_EQ(server.form->NameMessage()[1], 15);
  }
}

TEST(StartupTest, OpensBothServerSocketsAndTheIconWithoutALogLine) {
  TempSettings settings("[Toruna]\nServername=Lab\n");
  ServerHarness server(settings.path());
  server.form->Form_Load();
  frmMain& form = *server.form;
  ASSERT_TRUE(form.SearchSock && form.Listen);
  EXPECT_EQ(form.SearchSock->Protocol(), net::ProtocolUdp);
  EXPECT_EQ(form.SearchSock->State(), net::StateOpen);
  EXPECT_EQ(form.SearchSock->LocalIP(), "0.0.0.0");
  EXPECT_GT(form.SearchSock->LocalPort(), 0);
  EXPECT_EQ(form.Listen->Protocol(), net::ProtocolTcp);
  EXPECT_EQ(form.Listen->State(), net::StateListening);
  EXPECT_EQ(server.frontEnd.iconsAdded, 1);
  EXPECT_TRUE(server.frontEnd.lines.empty());
  EXPECT_TRUE(form.List1().empty());
}

TEST(StartupTest, AnOverlongNameStopsStartUpBeforeTheSockets) {
  TempSettings settings("[Toruna]\nServername=" + std::string(32767, 'x') + "\n");
  ServerHarness server(settings.path());
  try {
    server.form->Form_Load();
    FAIL() << "no overflow";
  } catch (const base::RaisedError& e) {
    EXPECT_EQ(e.Number(), 6);
  }
  EXPECT_FALSE(server.form->SearchSock);
  EXPECT_FALSE(server.form->Listen);
  EXPECT_EQ(server.frontEnd.iconsAdded, 0);

  // One character less still fits the signed 16-bit length.
  TempSettings fits("[Toruna]\nServername=" + std::string(32766, 'x') + "\n");
  ServerHarness other(fits.path());
  other.form->Form_Load();
  EXPECT_EQ(other.form->NameMessage()[1], 0xFF);
  EXPECT_EQ(other.form->NameMessage()[2], 0x7F);
}

TEST(StartupTest, FirstSessionGetsIdOneAndTheNextEventIdTwo) {
  TempSettings settings("[Toruna]\nServername=Lab\n");
  ServerHarness server(settings.path());
  server.form->Form_Load();
  RelayTestClient client(server.form->Listen->LocalPort());
  ASSERT_TRUE(client.Connected());
  const std::string name = "c";
  client.Send(protocol::frames::ClientInfoRequest(Text(name)));
  ASSERT_TRUE(server.PumpUntil([&] { return server.form->colClients.Count() == 1; }));
  EXPECT_EQ(server.form->colClients.IdAt(1), 1);
  EXPECT_EQ(server.frontEnd.lines,
            (std::vector<std::string>{"connection received", "c registered."}));

  const std::string event = "ev";
  client.Send(protocol::frames::EventInfoRequest(
      77, 1000, 100,
      Text(event)));
  std::optional<int32_t> eventId;
  ASSERT_TRUE(server.PumpUntil([&] {
    client.Poll();
    while (auto frame = client.TakeFrame()) {
      const protocol::FrameView whole(*frame);
      if (whole.Type() == protocol::EventCreated && whole.Int32At(4) == 77) eventId = whole.Int32At(8);
    }
    return eventId.has_value();
  }));
  EXPECT_EQ(*eventId, 2);
}

// The system's value of an option of an accepted connection.
int TcpOption(int fd, int level, int option) {
  int value = -1;
  socklen_t len = sizeof value;
  EXPECT_EQ(getsockopt(fd, level, option, &value, &len), 0);
  return value;
}

// The listener carries these options and the system copies them to each
// connection it accepts: checked on the accepted connection itself.
TEST(StartupTest, AcceptedConnectionsGetTheKeepAliveOfTheSettingsFile) {
  struct Case {
    std::string content;
    std::vector<int> expected;  // SO_KEEPALIVE, idle, interval, count, user timeout in ms, TCP_NODELAY
    std::vector<std::string> problems;
  };
  const Case cases[] = {
      {"[Toruna]\nServername=Lab\n", {1, 30, 10, 3, 60000, 1}, {}},
      {"[Toruna]\nKeepAliveIdle=7\nKeepAliveInterval= 3 \nKeepAliveCount=4\nUserTimeout=11\n",
       {1, 7, 3, 4, 11000, 1}, {}},
      {"[Toruna]\nUserTimeout=0\nKeepAliveCount=\n", {1, 30, 10, 3, 0, 1}, {}},
      {"[Toruna]\nKeepAliveIdle=2m\nKeepAliveInterval=0\nKeepAliveCount=128\nUserTimeout=-5\n",
       {1, 30, 10, 3, 60000, 1},
       {"KeepAliveIdle=2m in the settings file is not a whole number from 0 to 32767; 30 is used",
        "KeepAliveInterval=0 in the settings file is not a whole number from 1 to 32767; 10 is used",
        "KeepAliveCount=128 in the settings file is not a whole number from 1 to 127; 3 is used",
        "UserTimeout=-5 in the settings file is not a whole number from 0 to 2147483; 60 is used"}},
  };
  for (const Case& c : cases) {
    TempSettings settings(c.content);
    ServerHarness server(settings.path());
    server.form->Form_Load();
    EXPECT_EQ(server.form->SettingsProblems(), c.problems) << c.content;
    RelayTestClient client(server.form->Listen->LocalPort());
    ASSERT_TRUE(server.PumpUntil([&] { return server.form->colConnections.Count() == 1; }));
    const int fd = server.form->colConnections.Item(1)->Sock->SocketHandle();
    EXPECT_EQ((std::vector<int>{TcpOption(fd, SOL_SOCKET, SO_KEEPALIVE) != 0 ? 1 : 0,
                                TcpOption(fd, IPPROTO_TCP, TCP_KEEPIDLE),
                                TcpOption(fd, IPPROTO_TCP, TCP_KEEPINTVL),
                                TcpOption(fd, IPPROTO_TCP, TCP_KEEPCNT),
                                TcpOption(fd, IPPROTO_TCP, TCP_USER_TIMEOUT),
                                TcpOption(fd, IPPROTO_TCP, TCP_NODELAY) != 0 ? 1 : 0}),
              c.expected)
        << c.content;
  }
  // KeepAliveIdle=0 turns keepalive off.
  TempSettings off("[Toruna]\nKeepAliveIdle=0\n");
  ServerHarness server(off.path());
  server.form->Form_Load();
  RelayTestClient client(server.form->Listen->LocalPort());
  ASSERT_TRUE(server.PumpUntil([&] { return server.form->colConnections.Count() == 1; }));
  EXPECT_EQ(TcpOption(server.form->colConnections.Item(1)->Sock->SocketHandle(), SOL_SOCKET, SO_KEEPALIVE), 0);
}

TEST(StartupTest, TitleBarCloseHidesAndKeepsTheSocketsOpen) {
  TempSettings settings("[Toruna]\nServername=Lab\n");
  ServerHarness server(settings.path());
  server.form->Form_Load();
  bool cancel = false;
  server.form->Form_QueryUnload(cancel, 0);
  EXPECT_TRUE(cancel);
  EXPECT_EQ(server.frontEnd.hidden, 1);
  EXPECT_FALSE(server.form->Unload(0));
  EXPECT_EQ(server.frontEnd.hidden, 2);
  EXPECT_FALSE(server.form->Unloaded());
  EXPECT_EQ(server.form->SearchSock->State(), net::StateOpen);
  EXPECT_EQ(server.form->Listen->State(), net::StateListening);
}

TEST(StartupTest, ExitClosesAndReleasesBothSocketsAndRemovesTheIcon) {
  TempSettings settings("[Toruna]\nServername=Lab\n");
  ServerHarness server(settings.path());
  server.form->Form_Load();
  const std::shared_ptr<net::CNetSocket> search = server.form->SearchSock;
  const std::shared_ptr<net::CNetSocket> listen = server.form->Listen;
  const int listenPort = listen->LocalPort();
  server.form->mnuExit_Click();
  EXPECT_TRUE(server.form->Unloaded());
  EXPECT_FALSE(server.form->SearchSock);
  EXPECT_FALSE(server.form->Listen);
  EXPECT_EQ(search->State(), net::StateClosed);
  EXPECT_EQ(listen->State(), net::StateClosed);
  EXPECT_EQ(server.frontEnd.iconsRemoved, 1);
  EXPECT_FALSE(RelayTestClient(listenPort).Connected());
  // A second request changes nothing more.
  EXPECT_TRUE(server.form->Unload(2));
  EXPECT_EQ(server.frontEnd.iconsRemoved, 1);
}

TEST(StartupTest, IconCodesInXShowTheWindowOrPopTheMenu) {
  TempSettings settings("[Toruna]\nServername=Lab\n");
  ServerHarness server(settings.path());
  RecordingFrontEnd& fe = server.frontEnd;
  frmMain& form = *server.form;
  form.Form_MouseMove(0, 0, 514, 0);
  EXPECT_EQ(fe.shown, 1);
  form.Form_MouseMove(0, 0, 517, 0);
  EXPECT_EQ(fe.popups, 1);
  // Halves go to the even neighbour: 514.5 is 514, 516.5 is 516, 517.5 is 518.
  form.Form_MouseMove(0, 0, 514.5f, 0);
  form.Form_MouseMove(0, 0, 516.5f, 0);
  form.Form_MouseMove(0, 0, 517.5f, 0);
  form.Form_MouseMove(0, 0, 512, 0);
  EXPECT_EQ(fe.shown, 2);
  EXPECT_EQ(fe.popups, 1);
  form.Form_MouseMove(0, 0, 516.6f, 0);
  EXPECT_EQ(fe.popups, 2);
  form.mnuShow_Click();
  EXPECT_EQ(fe.shown, 3);
}

TEST(StartupTest, TimerTickReopensAListenerThatFailedToAccept) {
  TempSettings settings("[Toruna]\nServername=Lab\n");
  ServerHarness server(settings.path());
  server.form->Form_Load();
  server.fake.FailNext(net::testing::Call::Accept, 10022);
  RelayTestClient refused(server.form->Listen->LocalPort());
  ASSERT_TRUE(server.PumpUntil([&] { return server.form->Listen->State() == net::StateError; }));

  server.form->tmrMain_Timer();
  ASSERT_EQ(server.form->Listen->State(), net::StateListening);
  RelayTestClient client(server.form->Listen->LocalPort());
  ASSERT_TRUE(client.Connected());
  EXPECT_TRUE(server.PumpUntil([&] { return server.form->colConnections.Count() == 1; }));
}

TEST(StartupTest, TimerTickReplacesAListenerThatCouldNotEvenCreateItsSocket) {
  TempSettings settings("[Toruna]\nServername=Lab\n");
  ServerHarness server(settings.path());
  server.form->OpenSearchSocket();
  // No descriptors free: the listener has no handle and cannot leave StateError itself.
  server.fake.FailNext(net::testing::Call::Socket, 10024);
  server.form->OpenListenSocket();
  ASSERT_EQ(server.form->Listen->State(), net::StateError);

  server.form->tmrMain_Timer();
  ASSERT_EQ(server.form->Listen->State(), net::StateListening);
  RelayTestClient client(server.form->Listen->LocalPort());
  ASSERT_TRUE(client.Connected());
  EXPECT_TRUE(server.PumpUntil([&] { return server.form->colConnections.Count() == 1; }));
}

TEST(StartupTest, TheTimerStartedByStartUpRecoversDiscovery) {
  TempSettings settings("[Toruna]\nServername=Lab\n");
  ServerHarness server(settings.path(), true);
  server.form->Form_Load();
  // A notification with an error is the one thing left that puts the socket in error.
  server.dispatcher.OnSocketNotify(server.form->SearchSock->SocketHandle(), net::kFdRead, 10050);
  ASSERT_EQ(server.form->SearchSock->State(), net::StateError);
  // Nobody calls tmrMain_Timer here: the loop's one-second tick does.
  EXPECT_TRUE(server.PumpUntil([&] { return server.form->SearchSock->State() == net::StateOpen; },
                               std::chrono::milliseconds(3000)));
}

}  // namespace
}  // namespace toruna::server::testing
