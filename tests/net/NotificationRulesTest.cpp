// The notification rules that the socket layer relies on, checked against both
// platforms that implement them: the Linux binding on real loopback sockets and
// the in-memory platform the relay's tests, the fuzz targets and the benchmark
// run on. A rule that one of them breaks fails here under its name.

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <memory>
#include <ostream>
#include <string>

#include "net/linux/LoopbackHarness.h"
#include "support/MemoryPlatform.h"

namespace toruna::net::testing {
namespace {

// One platform with a sink that records its notifications, and the far side of
// its connections.
class Rig {
 public:
  virtual ~Rig() = default;
  virtual Platform& platform() = 0;
  // Handles what is pending until pred() holds; the result is pred().
  virtual bool Until(const std::function<bool()>& pred) = 0;
  // Handles everything pending, so that a check can tell nothing more came.
  virtual void Settle() = 0;
  // Nothing is left for the loop to do (a loop that stays busy would spin).
  virtual bool Idle() = 0;
  // The far side: a connection to the listener on port, and what it does.
  virtual int Connect(uint16_t port) = 0;
  virtual void Send(int peer, const std::string& bytes) = 0;
  virtual void Close(int peer) = 0;
  virtual void Reset(int peer) = 0;
  virtual void Datagram(uint16_t port, const std::string& bytes) = 0;

  RecordingSink sink;
};

class LinuxRig : public Rig {
 public:
  LinuxRig() { platform_.OpenNotifier(&sink); }
  Platform& platform() override { return platform_; }
  bool Until(const std::function<bool()>& pred) override { return loop::testing::PumpUntil(loop_, pred); }
  // The kernel moves bytes on its own time: a few short rounds of the loop.
  void Settle() override {
    for (int i = 0; i < 5; ++i) loop_.ProcessReady(10);
  }
  bool Idle() override { return !Readable(loop_.Fd()); }
  int Connect(uint16_t port) override {
    uint16_t clientPort = 0;
    peers_.emplace(next_, LoopbackClient(port, &clientPort));
    return next_++;
  }
  void Send(int peer, const std::string& bytes) override {
    EXPECT_EQ(::send(peers_.at(peer).get(), bytes.data(), bytes.size(), MSG_NOSIGNAL),
              static_cast<ssize_t>(bytes.size()));
  }
  void Close(int peer) override { peers_.erase(peer); }
  void Reset(int peer) override {
    linger abort{1, 0};
    EXPECT_EQ(::setsockopt(peers_.at(peer).get(), SOL_SOCKET, SO_LINGER, &abort, sizeof abort), 0);
    Close(peer);
  }
  void Datagram(uint16_t port, const std::string& bytes) override {
    uint16_t from = 0;
    Fd fd = BoundLoopbackSocket(SOCK_DGRAM, &from);
    SendDatagram(fd.get(), port, bytes);
  }

 private:
  loop::EventLoop loop_;
  LinuxPlatform platform_{loop_};
  std::map<int, Fd> peers_;
  int next_ = 0;
};

class MemoryRig : public Rig {
 public:
  MemoryRig() { platform_.OpenNotifier(&sink); }
  Platform& platform() override { return platform_; }
  bool Until(const std::function<bool()>& pred) override {
    Settle();
    return pred();
  }
  void Settle() override { EXPECT_TRUE(platform_.Pump()) << "the platform never settles"; }
  bool Idle() override { return platform_.Pump(1); }
  int Connect(uint16_t port) override { return platform_.ConnectClient(port); }
  void Send(int peer, const std::string& bytes) override {
    platform_.ClientSend(peer, std::span(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()));
  }
  void Close(int peer) override { platform_.ClientClose(peer); }
  void Reset(int peer) override { platform_.ClientReset(peer); }
  void Datagram(uint16_t port, const std::string& bytes) override {
    platform_.SendDatagram(port, Loopback(), 5000,
                           std::span(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()));
  }

 private:
  support::MemoryPlatform platform_;
};

struct RigKind {
  const char* name;
  std::function<std::unique_ptr<Rig>()> make;
};
void PrintTo(const RigKind& kind, std::ostream* out) { *out << kind.name; }

class NotificationRulesTest : public ::testing::TestWithParam<RigKind> {
 protected:
  NotificationRulesTest() : rig_(GetParam().make()), sink(rig_->sink), platform(rig_->platform()) {}

  SocketHandle Listener(uint16_t mask, uint16_t* port) { return ListenOnLoopback(platform, mask, port); }
  // An accepted connection with the notifications of mask, and its far side.
  SocketHandle Accepted(uint16_t mask, int* peer) {
    uint16_t port = 0;
    const SocketHandle listener = Listener(mask | kFdAccept, &port);
    *peer = rig_->Connect(port);
    EXPECT_TRUE(rig_->Until([&] { return sink.Count(listener, kFdAccept) == 1; }));
    SockAddrIn from;
    const SocketHandle s = platform.Accept(listener, &from);
    EXPECT_GE(s, 0);
    EXPECT_EQ(platform.CloseSocket(listener), 0);
    return s;
  }
  bool Until(const std::function<bool()>& pred) { return rig_->Until(pred); }
  void Settle() { rig_->Settle(); }
  bool Idle() { return rig_->Idle(); }

  std::unique_ptr<Rig> rig_;
  RecordingSink& sink;
  Platform& platform;
};

TEST_P(NotificationRulesTest, AcceptComesOnceUntilTheAcceptCallAndWriteOnceAfterIt) {
  uint16_t port = 0;
  const SocketHandle listener = Listener(kFdAllEvents, &port);
  rig_->Connect(port);
  rig_->Connect(port);
  ASSERT_TRUE(Until([&] { return sink.Count(listener, kFdAccept) == 1; }));
  Settle();
  EXPECT_EQ(sink.Count(listener, kFdAccept), 1) << "FD_ACCEPT repeated before an accept call";
  EXPECT_TRUE(Idle()) << "a waiting connection nobody accepts keeps the loop busy";

  SockAddrIn peer;
  const SocketHandle first = platform.Accept(listener, &peer);
  ASSERT_GE(first, 0);
  EXPECT_EQ(peer.addr, Loopback());
  ASSERT_TRUE(Until([&] { return sink.Count(listener, kFdAccept) == 2; })) << "the second still waits";
  const SocketHandle second = platform.Accept(listener, &peer);
  ASSERT_GE(second, 0);
  Settle();
  EXPECT_EQ(sink.Count(first, kFdWrite), 1);
  EXPECT_EQ(sink.Count(second, kFdWrite), 1);
  EXPECT_EQ(sink.Count(listener, kFdAccept), 2) << "FD_ACCEPT with nobody waiting";
  EXPECT_EQ(platform.Accept(listener, &peer), -1);
  EXPECT_EQ(platform.LastError(), kErrWouldBlock);
}

TEST_P(NotificationRulesTest, ReadComesOncePerReceiveCallWhileBytesRemain) {
  int peer = -1;
  const SocketHandle s = Accepted(kFdAllEvents, &peer);
  rig_->Send(peer, "0123456789");
  ASSERT_TRUE(Until([&] { return sink.Count(s, kFdRead) == 1; }));
  Settle();
  EXPECT_EQ(sink.Count(s, kFdRead), 1) << "FD_READ repeated before a receive call";

  uint8_t buf[16];
  ASSERT_EQ(platform.Recv(s, buf, 4, kMsgPeek), 4);
  ASSERT_TRUE(Until([&] { return sink.Count(s, kFdRead) == 2; })) << "a peek re-enables FD_READ";
  ASSERT_EQ(platform.Recv(s, buf, 4, 0), 4);
  ASSERT_TRUE(Until([&] { return sink.Count(s, kFdRead) == 3; })) << "6 bytes remain";
  ASSERT_EQ(platform.Recv(s, buf, sizeof buf, 0), 6);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(buf), 6), "456789");
  Settle();
  EXPECT_EQ(sink.Count(s, kFdRead), 3) << "nothing remains, so no FD_READ";
  rig_->Send(peer, "x");
  ASSERT_TRUE(Until([&] { return sink.Count(s, kFdRead) == 4; }));
  EXPECT_EQ(sink.Count(s, kFdClose), 0);
}

TEST_P(NotificationRulesTest, GracefulCloseComesOnceAndOnlyAfterTheBytesAreRead) {
  int peer = -1;
  const SocketHandle s = Accepted(kFdAllEvents, &peer);
  rig_->Send(peer, "hello");
  rig_->Close(peer);
  ASSERT_TRUE(Until([&] { return sink.Count(s, kFdRead) == 1; }));
  Settle();
  EXPECT_EQ(sink.Count(s, kFdClose), 0) << "FD_CLOSE before the bytes were read";

  uint8_t buf[3];
  ASSERT_EQ(platform.Recv(s, buf, 3, 0), 3);
  ASSERT_TRUE(Until([&] { return sink.Count(s, kFdRead) == 2; }));
  EXPECT_EQ(sink.Count(s, kFdClose), 0);
  ASSERT_EQ(platform.Recv(s, buf, 3, 0), 2);
  ASSERT_TRUE(Until([&] { return sink.Count(s, kFdClose) == 1; }));
  EXPECT_EQ(sink.Last(s, kFdClose)->error, 0);
  Settle();
  EXPECT_EQ(sink.Count(s, kFdClose), 1);
  EXPECT_EQ(sink.Count(s, kFdRead), 2);
  EXPECT_TRUE(Idle());
}

TEST_P(NotificationRulesTest, ResetGivesOneCloseWithConnectionReset) {
  int peer = -1;
  const SocketHandle s = Accepted(kFdAllEvents, &peer);
  rig_->Reset(peer);
  ASSERT_TRUE(Until([&] { return sink.Count(s, kFdClose) == 1; }));
  EXPECT_EQ(sink.Last(s, kFdClose)->error, kErrConnectionReset);
  Settle();
  EXPECT_EQ(sink.Count(s, kFdClose), 1);
  EXPECT_TRUE(Idle());
}

TEST_P(NotificationRulesTest, AnAcceptedSocketCarriesTheListenersSelection) {
  int peer = -1;
  const SocketHandle s = Accepted(kFdRead, &peer);  // no FD_WRITE, no FD_CLOSE
  rig_->Send(peer, "z");
  rig_->Close(peer);
  ASSERT_TRUE(Until([&] { return sink.Count(s, kFdRead) == 1; }));
  uint8_t buf[4];
  ASSERT_EQ(platform.Recv(s, buf, sizeof buf, 0), 1);
  Settle();
  EXPECT_EQ(sink.Count(s, kFdWrite), 0);
  EXPECT_EQ(sink.Count(s, kFdClose), 0);
  EXPECT_TRUE(Idle()) << "an unselected close must not keep the loop busy";
}

TEST_P(NotificationRulesTest, SelectingNothingStopsNotificationsAndSelectingAgainPicksUpWhatWaits) {
  int peer = -1;
  const SocketHandle s = Accepted(kFdAllEvents, &peer);
  ASSERT_TRUE(Until([&] { return sink.Count(s, kFdWrite) == 1; }));
  ASSERT_EQ(platform.AsyncSelect(s, 0), 0);
  rig_->Send(peer, "abc");
  rig_->Close(peer);
  Settle();
  EXPECT_EQ(sink.CountFor(s), 1);
  EXPECT_TRUE(Idle());
  ASSERT_EQ(platform.AsyncSelect(s, kFdAllEvents), 0);
  ASSERT_TRUE(Until([&] { return sink.Count(s, kFdRead) == 1; }));
}

TEST_P(NotificationRulesTest, AClosedSocketsNotificationsNeverReachTheSocketThatTakesItsHandle) {
  uint16_t port = 0;
  const SocketHandle listener = Listener(kFdAllEvents, &port);
  rig_->Connect(port);
  ASSERT_TRUE(Until([&] { return sink.Count(listener, kFdAccept) == 1; }));
  SockAddrIn peer;
  const SocketHandle accepted = platform.Accept(listener, &peer);
  ASSERT_GE(accepted, 0);
  // Its FD_WRITE is queued; the socket goes and a new one takes the same number.
  ASSERT_EQ(platform.CloseSocket(accepted), 0);
  const SocketHandle successor = platform.Socket(kSockDgram, kIpProtoUdp);
  ASSERT_EQ(successor, accepted);
  ASSERT_EQ(platform.AsyncSelect(successor, kFdAllEvents), 0);
  Settle();
  EXPECT_EQ(sink.CountFor(successor), 0);
}

TEST_P(NotificationRulesTest, DatagramReadComesOncePerReceiveCall) {
  const SocketHandle s = platform.Socket(kSockDgram, kIpProtoUdp);
  ASSERT_EQ(platform.AsyncSelect(s, kFdAllEvents), 0);
  ASSERT_EQ(platform.Bind(s, SockAddrIn{Loopback(), 0}), 0);
  SockAddrIn local;
  ASSERT_EQ(platform.GetSockName(s, &local), 0);
  rig_->Datagram(local.port, "abc");
  rig_->Datagram(local.port, "defgh");
  ASSERT_TRUE(Until([&] { return sink.Count(s, kFdRead) == 1; }));
  Settle();
  EXPECT_EQ(sink.Count(s, kFdRead), 1);
  uint32_t pending = 0;
  ASSERT_EQ(platform.PendingBytes(s, &pending), 0);
  EXPECT_EQ(pending, 3u) << "the first datagram's size";

  uint8_t buf[8];
  SockAddrIn from;
  ASSERT_EQ(platform.RecvFrom(s, buf, sizeof buf, 0, &from), 3);
  EXPECT_EQ(from.addr, Loopback());
  ASSERT_TRUE(Until([&] { return sink.Count(s, kFdRead) == 2; }));
  ASSERT_EQ(platform.RecvFrom(s, buf, sizeof buf, 0, &from), 5);
  Settle();
  EXPECT_EQ(sink.Count(s, kFdRead), 2);
}

INSTANTIATE_TEST_SUITE_P(
    Platforms, NotificationRulesTest,
    ::testing::Values(RigKind{"Linux", [] { return std::make_unique<LinuxRig>(); }},
                      RigKind{"Memory", [] { return std::make_unique<MemoryRig>(); }}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace toruna::net::testing
