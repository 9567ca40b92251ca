// Connection over real loopback TCP against a plain socket standing in for the
// server: registration and what was asked before it, a stream split across
// writes, publishing, WhenSent (done once the server answered a round trip),
// and each way a connection ends.

#include "client/Connection.h"

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <functional>
#include <stdexcept>

#include "client/ServerLink.h"
#include "client/WireText.h"
#include "loop/LoopPump.h"
#include "net/linux/LinuxPlatform.h"
#include "net/linux/LoopScheduler.h"
#include "net/linux/LoopbackPeers.h"
#include "net/modNetSocket.h"

namespace toruna::client {
namespace {

using Bytes = std::vector<uint8_t>;
namespace frames = protocol::frames;

Bytes Cat(std::initializer_list<Bytes> parts) {
  Bytes all;
  for (const Bytes& p : parts) all.insert(all.end(), p.begin(), p.end());
  return all;
}

class ConnectionTest : public ::testing::Test {
 protected:
  loop::EventLoop loop;
  net::LinuxPlatform platform{loop};
  net::LoopScheduler scheduler{loop};
  net::modNetSocket dispatcher{platform, &scheduler};
  uint16_t port = 0;
  net::testing::Fd listener = net::testing::LoopbackListener(&port);
  net::testing::Fd peer;
  Connection c{dispatcher, loop};
  std::vector<Ending> endings;

  void SetUp() override {
    c.OnEnded = [this](const Ending& e) { endings.push_back(e); };
  }
  bool PumpUntil(const std::function<bool()>& done) { return loop::testing::PumpUntil(loop, done); }
  void AcceptPeer() {
    ASSERT_TRUE(PumpUntil([&] {
      pollfd p{listener.get(), POLLIN, 0};
      return poll(&p, 1, 0) == 1;
    }));
    peer = net::testing::Fd(accept(listener.get(), nullptr, nullptr));
    ASSERT_GE(peer.get(), 0);
  }
  void Write(const Bytes& b) {
    ASSERT_EQ(write(peer.get(), b.data(), b.size()), static_cast<ssize_t>(b.size()));
  }
  // The next n bytes the client sent.
  Bytes Read(size_t n) {
    EXPECT_TRUE(PumpUntil([&] {
      int waiting = 0;
      return ioctl(peer.get(), FIONREAD, &waiting) == 0 && static_cast<size_t>(waiting) >= n;
    }));
    Bytes got(n);
    EXPECT_EQ(read(peer.get(), got.data(), n), static_cast<ssize_t>(n));
    return got;
  }
};

TEST_F(ConnectionTest, RegistersThenSubscribesCreatesAndPublishesOverTheWire) {
  std::vector<std::string> seen;
  c.OnConnected = [&] { seen.push_back("connected"); };
  c.OnRegistered = [&](const std::string& name) { seen.push_back("registered " + name); };
  c.OnValue = [&](const Value& v) {
    seen.push_back(c.PathOf(v.event) + " " + std::to_string(v.value));
  };
  // Asked before connecting: they go out right after the registration.
  c.Subscribe("*/Temp");
  const int32_t level = c.CreateEvent("Level", "l");
  c.Open("127.0.0.1", "Zoë", port);
  AcceptPeer();
  const Bytes request = frames::EventInfoRequest(level, 0, 255, WireText::EventToWire("Level", "l"));
  EXPECT_EQ(Read(7 + request.size()), Cat({Bytes{42, 4, 0, 2, 'Z', 'o', 0xEB}, request}));

  // The roster, split in the middle of a frame.
  const Bytes roster = Cat({frames::ClientInfo(3, WireText::ToWire("Bo")),
                            frames::EventInfo(3, 4, 0, 100, WireText::EventToWire("Temp", "°C")),
                            frames::ServerInfo(WireText::ToWire("Lab"))});
  Write(Bytes(roster.begin(), roster.begin() + 11));
  ASSERT_TRUE(PumpUntil([&] { return c.State().Clients().size() == 1; }));
  Write(Bytes(roster.begin() + 11, roster.end()));
  ASSERT_TRUE(PumpUntil([&] { return c.Registered(); }));
  EXPECT_EQ(Read(9), frames::EventSubscribe(4, 1));

  Write(Cat({frames::EventCreated(level, 9), frames::EventSubscribe(9, 1), frames::EventData(4, 21)}));
  ASSERT_TRUE(PumpUntil([&] { return c.HasSubscribers(level); }));
  ASSERT_TRUE(c.Publish(level, 7));
  ASSERT_TRUE(c.Publish(level, 8));
  bool sent = false;
  c.WhenSent([&] { sent = true; });
  // A round trip follows the values; only its answer means they were handled.
  EXPECT_EQ(Read(27), Cat({frames::EventData(9, 7), frames::EventData(9, 8), frames::EventData(0, 0)}));
  loop::testing::PumpFor(loop, std::chrono::milliseconds(150));
  EXPECT_FALSE(sent);
  Write(frames::EventSubscribe(0, 0));
  ASSERT_TRUE(PumpUntil([&] { return sent; }));
  EXPECT_TRUE(c.HasSubscribers(level));  // the answer is no subscriber notice
  EXPECT_EQ(seen, (std::vector<std::string>{"connected", "registered Lab", "Bo/Temp 21"}));

  peer.Reset();
  ASSERT_TRUE(PumpUntil([&] { return !endings.empty(); }));
  loop.ProcessReady(20);
  ASSERT_EQ(endings.size(), 1u);
  EXPECT_EQ(endings[0].reason, EndReason::ClosedByServer);
  EXPECT_EQ(endings[0].message, "the server on 127.0.0.1 closed the connection");
  EXPECT_TRUE(c.Ended());
  EXPECT_FALSE(c.Publish(level, 9));
}

TEST_F(ConnectionTest, ARefusedConnectionIsReportedOnceWithItsReason) {
  listener.Reset();  // nobody listens on the port any more
  c.Open("127.0.0.1", "Ann", port);
  ASSERT_TRUE(PumpUntil([&] { return !endings.empty(); }));
  loop.ProcessReady(20);
  ASSERT_EQ(endings.size(), 1u);
  EXPECT_EQ(endings[0].reason, EndReason::Refused);
  EXPECT_EQ(endings[0].message, "connection refused by 127.0.0.1 (no server listening on port " +
                                    std::to_string(port) + "?)");
}

TEST_F(ConnectionTest, ABrokenStreamEndsTheConnection) {
  int values = 0;
  c.OnValue = [&](const Value&) { ++values; };
  c.Open("127.0.0.1", "Ann", port);
  AcceptPeer();
  Bytes s = Cat({frames::EventData(5, 1), Bytes{0x55, 1, 0}, frames::EventData(5, 2)});
  Write(s);
  ASSERT_TRUE(PumpUntil([&] { return !endings.empty(); }));
  EXPECT_EQ(values, 1);
  EXPECT_EQ(endings[0].reason, EndReason::LostSync);
  EXPECT_EQ(endings[0].message, "lost protocol sync with the server on 127.0.0.1");
}

TEST_F(ConnectionTest, ANameThatCannotBeSentFailsBeforeConnecting) {
  EXPECT_THROW(c.Open("127.0.0.1", "温度", port), TextError);
  EXPECT_THROW(c.Open("127.0.0.1", "", port), TextError);
  loop::testing::PumpFor(loop, std::chrono::milliseconds(50));
  pollfd p{listener.get(), POLLIN, 0};
  EXPECT_EQ(poll(&p, 1, 0), 0);  // nobody knocked
  c.Open("127.0.0.1", "Ann", port);
  EXPECT_THROW(c.Open("127.0.0.1", "Ann", port), std::logic_error);
}

TEST_F(ConnectionTest, CloseLeavesWithoutReportingAnEnd) {
  c.Open("127.0.0.1", "Ann", port);
  AcceptPeer();
  ASSERT_TRUE(PumpUntil([&] { return c.Connected(); }));
  c.Close();
  EXPECT_TRUE(c.Ended());
  EXPECT_FALSE(c.Connected());
  Bytes rest(64);
  ssize_t n = 0;
  ASSERT_TRUE(PumpUntil([&] {
    n = read(peer.get(), rest.data(), rest.size());
    return n <= 0;  // the registration, then the end of the stream
  }));
  EXPECT_EQ(n, 0);
  loop::testing::PumpFor(loop, std::chrono::milliseconds(30));
  EXPECT_TRUE(endings.empty());
}

TEST_F(ConnectionTest, ComesBackUnderItsNameWithItsEventsAndSubscriptions) {
  using std::chrono::milliseconds;
  c.SetReconnect(Connection::Reconnect{milliseconds(80), milliseconds(400)});
  std::vector<std::string> seen;
  std::vector<milliseconds> waits;
  c.OnDown = [&](const Ending& e, milliseconds retryIn) {
    seen.push_back("down: " + e.message);
    waits.push_back(retryIn);
  };
  c.OnBack = [&](const std::string& server) { seen.push_back("back " + server); };
  c.OnRegistered = [&](const std::string& server) { seen.push_back("registered " + server); };
  c.OnClientLeft = [&](const ClientEntry& client, const std::vector<EventEntry>& events) {
    seen.push_back("left " + client.name + " with " + std::to_string(events.size()));
  };
  c.OnEventReady = [&](const OwnEvent& e) { seen.push_back("ready " + std::to_string(e.id)); };
  c.OnSubscribers = [&](const OwnEvent& e) { seen.push_back(e.hasSubscribers ? "heard" : "unheard"); };
  std::vector<Value> values;
  c.OnValue = [&](const Value& v) { values.push_back(v); };
  const int32_t level = c.CreateEvent("Level");
  c.Subscribe("*/Temp");
  const Bytes hello = Cat({frames::ClientInfoRequest(WireText::ToWire("Ann")),
                           frames::EventInfoRequest(level, 0, 255, WireText::ToWire("Level"))});
  auto roster = [](std::initializer_list<Bytes> events) {
    Bytes all = frames::ClientInfo(3, WireText::ToWire("Bo"));
    for (const Bytes& e : events) all.insert(all.end(), e.begin(), e.end());
    const Bytes end = frames::ServerInfo(WireText::ToWire("Lab"));
    all.insert(all.end(), end.begin(), end.end());
    return all;
  };
  auto event = [](int32_t id, const char* name) {
    return frames::EventInfo(3, id, 0, 0, WireText::ToWire(name));
  };

  c.Open("127.0.0.1", "Ann", port);
  AcceptPeer();
  EXPECT_EQ(Read(hello.size()), hello);
  Write(roster({event(4, "Temp"), event(6, "Hum"), event(8, "Old")}));
  ASSERT_TRUE(PumpUntil([&] { return c.Registered(); }));
  c.Subscribe(6);
  c.Subscribe(8);
  EXPECT_EQ(Read(27), Cat({frames::EventSubscribe(4, 1), frames::EventSubscribe(6, 1),
                           frames::EventSubscribe(8, 1)}));
  Write(Cat({frames::EventCreated(level, 9), frames::EventSubscribe(9, 1)}));
  ASSERT_TRUE(PumpUntil([&] { return c.HasSubscribers(level); }));

  // The server goes; the connection says so and tries again.
  peer.Reset();
  ASSERT_TRUE(PumpUntil([&] { return c.Down(); }));
  EXPECT_FALSE(c.Ended());
  EXPECT_FALSE(c.Publish(level, 1));
  EXPECT_TRUE(c.State().Clients().empty());
  // The server came back after a restart: Temp has a new ID, 6 is the same
  // event again, 8 is another one now.
  AcceptPeer();
  EXPECT_EQ(Read(hello.size()), hello);
  const auto before = std::chrono::system_clock::now();
  Write(Cat({roster({event(6, "Hum"), event(8, "New"), event(14, "Temp")}),
             frames::EventCreated(level, 20), frames::EventData(14, 33)}));
  ASSERT_TRUE(PumpUntil([&] { return values.size() == 1; }));
  EXPECT_EQ(Read(18), Cat({frames::EventSubscribe(6, 1), frames::EventSubscribe(14, 1)}));
  EXPECT_TRUE(c.IsSubscribed(6) && c.IsSubscribed(14) && !c.IsSubscribed(8));
  EXPECT_EQ(c.PathOf(values[0].event), "Bo/Temp");
  EXPECT_GE(values[0].arrived, before);
  EXPECT_LE(values[0].arrived, std::chrono::system_clock::now());
  Write(frames::EventSubscribe(20, 1));
  ASSERT_TRUE(PumpUntil([&] { return c.HasSubscribers(level); }));
  ASSERT_TRUE(c.Publish(level, 5));
  EXPECT_EQ(Read(9), frames::EventData(20, 5));

  EXPECT_EQ(seen, (std::vector<std::string>{
                      "registered Lab", "ready 9", "heard",
                      "down: the server on 127.0.0.1 closed the connection", "left Bo with 3",
                      "unheard", "back Lab", "ready 20", "heard"}));
  ASSERT_EQ(waits.size(), 1u);
  EXPECT_LE(waits[0], milliseconds(80));
  EXPECT_GE(waits[0], milliseconds(60));
  EXPECT_TRUE(endings.empty());
}

TEST_F(ConnectionTest, FailedAttemptsWaitLongerEachTimeUntilClosed) {
  using std::chrono::milliseconds;
  listener.Reset();  // nobody listens
  c.SetReconnect(Connection::Reconnect{milliseconds(20), milliseconds(80)});
  std::vector<milliseconds> waits;
  c.OnDown = [&](const Ending& e, milliseconds retryIn) {
    EXPECT_EQ(e.reason, EndReason::Refused);
    waits.push_back(retryIn);
  };
  c.Open("127.0.0.1", "Ann", port);
  ASSERT_TRUE(PumpUntil([&] { return waits.size() == 5; }));
  c.Close();
  loop::testing::PumpFor(loop, milliseconds(200));
  EXPECT_EQ(waits.size(), 5u);
  EXPECT_TRUE(endings.empty());
  EXPECT_TRUE(c.Ended());
  const milliseconds most[] = {milliseconds(20), milliseconds(40), milliseconds(80),
                               milliseconds(80), milliseconds(80)};
  for (size_t i = 0; i < waits.size(); ++i) {
    EXPECT_LE(waits[i], most[i]) << i;
    EXPECT_GE(waits[i], most[i] * 3 / 4) << i;
  }
}

TEST_F(ConnectionTest, OpensAgainAfterItEndedAndKeepsDeadServersInSight) {
  int registrations = 0;
  c.OnRegistered = [&](const std::string&) { ++registrations; };
  c.SetKeepAlive(net::KeepAlive{7, 3, 4, 11});
  for (int round = 0; round < 2; ++round) {
    c.Open("127.0.0.1", "Ann", port);
    AcceptPeer();
    EXPECT_EQ(Read(7), frames::ClientInfoRequest(WireText::ToWire("Ann")));
    Write(frames::ServerInfo(WireText::ToWire("Lab")));
    ASSERT_TRUE(PumpUntil([&] { return registrations == round + 1; }));
    // The client's own socket: the one whose peer is ours.
    sockaddr_in far{};
    socklen_t len = sizeof far;
    ASSERT_EQ(getpeername(peer.get(), reinterpret_cast<sockaddr*>(&far), &len), 0);
    int own = -1;
    for (int fd = 0; fd < 1024 && own == -1; ++fd) {
      sockaddr_in local{};
      socklen_t n = sizeof local;
      if (fd != peer.get() && getsockname(fd, reinterpret_cast<sockaddr*>(&local), &n) == 0 &&
          n == sizeof local && local.sin_family == AF_INET && local.sin_port == far.sin_port) {
        own = fd;
      }
    }
    ASSERT_NE(own, -1);
    auto option = [&](int level, int name) {
      int value = -1;
      socklen_t size = sizeof value;
      getsockopt(own, level, name, &value, &size);
      return value;
    };
    EXPECT_NE(option(SOL_SOCKET, SO_KEEPALIVE), 0);
    EXPECT_EQ(option(IPPROTO_TCP, TCP_KEEPIDLE), 7);
    EXPECT_EQ(option(IPPROTO_TCP, TCP_KEEPINTVL), 3);
    EXPECT_EQ(option(IPPROTO_TCP, TCP_KEEPCNT), 4);
    EXPECT_EQ(option(IPPROTO_TCP, TCP_USER_TIMEOUT), 11000);
    peer.Reset();
    ASSERT_TRUE(PumpUntil([&] { return c.Ended(); }));
  }
  EXPECT_EQ(endings.size(), 2u);
}

TEST(ServerLink, SocketErrorsBecomeReasons) {
  struct Case {
    int32_t number;
    bool connected;
    EndReason reason;
    std::string message;
  };
  const Case cases[] = {
      {11001, false, EndReason::HostNotFound, "host lab-pc not found"},
      {11002, false, EndReason::HostNotFound,
       "host lab-pc could not be looked up now: the name service did not answer"},
      {11004, false, EndReason::HostNotFound, "host lab-pc has no IPv4 address"},
      {10060, false, EndReason::Unreachable, "host lab-pc is unreachable: no answer (timed out)"},
      {10065, false, EndReason::Unreachable, "host lab-pc is unreachable: what the socket said (10065)"},
      {10054, true, EndReason::ClosedByServer, "the server on lab-pc reset the connection"},
      {10055, true, EndReason::Failed, "connection to lab-pc failed: what the socket said (10055)"},
      {10055, false, EndReason::Failed, "cannot connect to lab-pc: what the socket said (10055)"},
  };
  for (const Case& c : cases) {
    const Ending e = ServerLink::DescribeError("lab-pc", 13131, c.number, "what the socket said",
                                                c.connected);
    EXPECT_EQ(e.reason, c.reason) << c.number;
    EXPECT_EQ(e.message, c.message);
  }
}

}  // namespace
}  // namespace toruna::client
