// Connection over real loopback TCP against a plain socket standing in for the
// server: registration and what was asked before it, a stream split across
// writes, publishing, WhenSent (done once the server answered a round trip),
// and each way a connection ends.

#include "client/Connection.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <functional>
#include <stdexcept>

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

TEST(ServerLink, SocketErrorsBecomeReasons) {
  struct Case {
    int32_t number;
    bool connected;
    EndReason reason;
    std::string message;
  };
  const Case cases[] = {
      {11001, false, EndReason::HostNotFound, "host lab-pc not found: what the socket said (11001)"},
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
