// The notification rules where only real loopback sockets tell: connecting, a
// burst of connections, descriptor shortage, a full send buffer, the loop's own
// descriptor and handlers that run the loop. The rules both platforms share are
// in NotificationRulesTest.

#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "net/linux/LoopbackHarness.h"

namespace toruna::net::testing {
namespace {

using SocketNotificationTest = LoopbackTest;

TEST_F(SocketNotificationTest, ConnectAndAcceptEachGiveOneWriteAndAcceptWaitsForTheAcceptCall) {
  uint16_t port = 0;
  SocketHandle listener = ListeningSocket(kFdAllEvents, &port);

  SocketHandle client = platform.Socket(kSockStream, kIpProtoTcp);
  ASSERT_GE(client, 0);
  ASSERT_EQ(platform.AsyncSelect(client, kFdAllEvents), 0);
  EXPECT_EQ(platform.Connect(client, SockAddrIn{Loopback(), port}), -1);
  EXPECT_EQ(platform.LastError(), kErrWouldBlock);
  RawConnect(port);  // a second connection waits behind the first

  ASSERT_TRUE(PumpUntil([&] { return sink.Count(client, kFdWrite) == 1; }));
  ASSERT_EQ(sink.Count(client, kFdConnect), 1);
  EXPECT_EQ(sink.Last(client, kFdConnect)->error, 0);
  ASSERT_TRUE(PumpUntil([&] { return sink.Count(listener, kFdAccept) == 1; }));
  Settle();
  EXPECT_EQ(sink.Count(listener, kFdAccept), 1) << "FD_ACCEPT repeated before an accept call";
  EXPECT_FALSE(Readable(loop.Fd())) << "a waiting connection nobody accepts keeps the loop busy";
  EXPECT_EQ(sink.Count(client, kFdWrite), 1);
  // FD_CONNECT comes before the FD_WRITE that follows it.
  int connectAt = -1, writeAt = -1;
  for (size_t i = 0; i < sink.notes.size(); ++i) {
    if (sink.notes[i].socket != client) continue;
    if (sink.notes[i].event == kFdConnect) connectAt = static_cast<int>(i);
    if (sink.notes[i].event == kFdWrite) writeAt = static_cast<int>(i);
  }
  EXPECT_LT(connectAt, writeAt);

  SockAddrIn peer;
  SocketHandle accepted = platform.Accept(listener, &peer);
  ASSERT_GE(accepted, 0);
  EXPECT_EQ(peer.addr, Loopback());
  ASSERT_TRUE(PumpUntil([&] { return sink.Count(accepted, kFdWrite) == 1; }));
  // The accept call re-enables FD_ACCEPT, and the second connection still waits.
  ASSERT_TRUE(PumpUntil([&] { return sink.Count(listener, kFdAccept) == 2; }));
  SocketHandle second = platform.Accept(listener, &peer);
  ASSERT_GE(second, 0);
  Settle();
  EXPECT_EQ(sink.Count(accepted, kFdWrite), 1);
  EXPECT_EQ(sink.Count(second, kFdWrite), 1);
  EXPECT_EQ(sink.Count(listener, kFdAccept), 2);
  EXPECT_EQ(platform.Accept(listener, &peer), -1);
  EXPECT_EQ(platform.LastError(), kErrWouldBlock);
}

// Connections waiting together are announced one after another as each accept
// call returns, within one round of the loop, so that a burst is taken (and its
// clients handled) together; nothing more comes once none is left.
TEST_F(SocketNotificationTest, AWaitingBurstIsAcceptedInOneRoundOfTheLoop) {
  uint16_t port = 0;
  SocketHandle listener = ListeningSocket(kFdAllEvents, &port);
  for (int i = 0; i < 5; ++i) RawConnect(port);  // closed by the harness
  std::vector<SocketHandle> accepted;
  sink.onNotify = [&](const Note& note) {
    if (note.socket != listener || note.event != kFdAccept) return;
    SockAddrIn peer;
    SocketHandle s = platform.Accept(listener, &peer);
    if (s >= 0) accepted.push_back(s);
  };
  loop.ProcessReady(5000);
  EXPECT_EQ(accepted.size(), 5u);
  EXPECT_EQ(sink.Count(listener, kFdAccept), 5);
  Settle();
  EXPECT_EQ(sink.Count(listener, kFdAccept), 5);
  for (SocketHandle s : accepted) platform.CloseSocket(s);
}

// Leaves the process without a free descriptor: the soft limit just above the
// highest one open, the rest taken. Everything is given back at the end.
class DescriptorShortage {
 public:
  DescriptorShortage() {
    getrlimit(RLIMIT_NOFILE, &saved_);
    int highest = 0;
    if (DIR* dir = opendir("/proc/self/fd")) {
      while (dirent* entry = readdir(dir)) highest = std::max(highest, std::atoi(entry->d_name));
      closedir(dir);
    }
    rlimit low = saved_;
    low.rlim_cur = static_cast<rlim_t>(highest) + 16;
    setrlimit(RLIMIT_NOFILE, &low);
    TakeAll();
  }
  ~DescriptorShortage() {
    for (int fd : taken_) close(fd);
    setrlimit(RLIMIT_NOFILE, &saved_);
  }
  void TakeAll() {
    for (int fd; (fd = open("/dev/null", O_RDONLY | O_CLOEXEC)) >= 0;) taken_.push_back(fd);
  }
  void FreeOne() {
    close(taken_.back());
    taken_.pop_back();
  }

 private:
  rlimit saved_{};
  std::vector<int> taken_;
};

TEST_F(SocketNotificationTest, ListenerWithoutDescriptorsWaitsQuietlyAndTakesItsConnectionsLater) {
  uint16_t port = 0;
  SocketHandle listener = ListeningSocket(kFdAllEvents, &port);
  SocketHandle spare = platform.Socket(kSockDgram, kIpProtoUdp);
  // Two clients wait in the listener's queue, the first with bytes already sent.
  int first = RawConnect(port);
  int second = RawConnect(port);
  ASSERT_EQ(send(first, "one", 3, 0), 3);
  // The listener's owner accepts on every FD_ACCEPT, as the socket layer does.
  std::vector<SocketHandle> accepted;
  int refused = 0;
  auto accept = [&] {
    SockAddrIn peer;
    const SocketHandle s = platform.Accept(listener, &peer);
    if (s >= 0) {
      accepted.push_back(s);
    } else {
      EXPECT_EQ(platform.LastError(), 10024);
      ++refused;
    }
  };
  bool accepting = false;
  sink.onNotify = [&](const Note& note) {
    if (accepting && note.socket == listener && note.event == kFdAccept) accept();
  };
  // The first FD_ACCEPT arrives while descriptors are still free (so that nothing
  // delivers for the first time without one: the sanitizers' checks need one then),
  // and its accept is made once they are all taken.
  ASSERT_TRUE(PumpUntil([&] { return sink.Count(listener, kFdAccept) == 1; }));
  DescriptorShortage shortage;
  accepting = true;
  accept();
  ASSERT_EQ(refused, 1);
  // Waiting costs a retry now and then, not a notification per loop round.
  const auto waitUntil = std::chrono::steady_clock::now() + std::chrono::milliseconds(600);
  while (std::chrono::steady_clock::now() < waitUntil) loop.ProcessReady(10);
  EXPECT_LE(refused, 6) << "the listener kept the loop busy";
  EXPECT_TRUE(accepted.empty());

  // A socket the platform releases makes room for one connection...
  ASSERT_EQ(platform.CloseSocket(spare), 0);
  ASSERT_TRUE(PumpUntil([&] { return accepted.size() == 1; }));
  // ...and a descriptor freed elsewhere for the other, found by the retry.
  shortage.FreeOne();
  ASSERT_TRUE(PumpUntil([&] { return accepted.size() == 2; }));

  // Neither waited in vain: no reset, the bytes sent early are there.
  uint8_t buf[8];
  ASSERT_TRUE(PumpUntil([&] { return platform.Recv(accepted[0], buf, sizeof buf, 0) == 3; }));
  EXPECT_EQ(std::string(reinterpret_cast<char*>(buf), 3), "one");
  ASSERT_EQ(send(second, "two", 3, MSG_NOSIGNAL), 3);
  ASSERT_TRUE(PumpUntil([&] { return platform.Recv(accepted[1], buf, sizeof buf, 0) == 3; }));
  EXPECT_EQ(std::string(reinterpret_cast<char*>(buf), 3), "two");
}

TEST_F(SocketNotificationTest, AnIgnoredReadLeavesTheLoopIdle) {
  int raw = -1;
  SocketHandle s = AcceptedFromRaw(kFdAllEvents, &raw);
  ASSERT_EQ(send(raw, "abc", 3, 0), 3);
  ASSERT_TRUE(PumpUntil([&] { return sink.Count(s, kFdRead) == 1; }));
  Settle();
  size_t before = sink.notes.size();
  for (int i = 0; i < 20; ++i) loop.ProcessReady(0);
  EXPECT_EQ(sink.notes.size(), before);
  EXPECT_FALSE(Readable(loop.Fd())) << "the loop would spin on the unread bytes";

  // More bytes and the peer's close change nothing until the owner reads.
  ASSERT_EQ(send(raw, "def", 3, 0), 3);
  RawClose(raw);
  Settle();
  EXPECT_FALSE(Readable(loop.Fd()));
  EXPECT_EQ(sink.CountFor(s), 2);  // FD_WRITE after accept, one FD_READ
}

TEST_F(SocketNotificationTest, RefusedConnectGivesConnectWithTheErrorAndNothingElse) {
  SocketHandle s = platform.Socket(kSockStream, kIpProtoTcp);
  ASSERT_EQ(platform.AsyncSelect(s, kFdAllEvents), 0);
  EXPECT_EQ(platform.Connect(s, SockAddrIn{Loopback(), ClosedLoopbackPort()}), -1);
  EXPECT_EQ(platform.LastError(), kErrWouldBlock);
  ASSERT_TRUE(PumpUntil([&] { return sink.Count(s, kFdConnect) == 1; }));
  EXPECT_EQ(sink.Last(s, kFdConnect)->error, kErrConnectionRefused);
  Settle();
  EXPECT_EQ(sink.CountFor(s), 1);
  EXPECT_FALSE(Readable(loop.Fd()));
}

TEST_F(SocketNotificationTest, WriteComesAgainOnlyAfterASendWouldBlock) {
  int raw = -1;
  SocketHandle s = AcceptedFromRaw(kFdAllEvents, &raw);
  ASSERT_TRUE(PumpUntil([&] { return sink.Count(s, kFdWrite) == 1; }));
  ASSERT_EQ(platform.SetSockOpt(s, kSolSocket, kSoSndBuf, 4096), 0);

  std::vector<uint8_t> chunk(65536, 0x5A);
  ASSERT_EQ(platform.Send(s, chunk.data(), 100), 100);
  Settle();
  EXPECT_EQ(sink.Count(s, kFdWrite), 1) << "a successful send must not bring FD_WRITE";

  // Fill the buffers. Loopback may move bytes on after a send would block, which
  // rightly brings FD_WRITE; keep filling until a would-block stays without one.
  long total = 100;
  int wouldBlocks = 0;
  for (int round = 0; round < 50; ++round) {
    int rc = 0;
    while ((rc = platform.Send(s, chunk.data(), static_cast<int>(chunk.size()))) > 0) total += rc;
    ASSERT_EQ(rc, -1);
    ASSERT_EQ(platform.LastError(), kErrWouldBlock);
    ++wouldBlocks;
    int writes = sink.Count(s, kFdWrite);
    Settle();
    if (sink.Count(s, kFdWrite) == writes) break;
  }
  int writesWhileFull = sink.Count(s, kFdWrite);
  EXPECT_LE(writesWhileFull, wouldBlocks) << "more than one FD_WRITE per would-block";
  Settle();
  EXPECT_EQ(sink.Count(s, kFdWrite), writesWhileFull) << "FD_WRITE while the buffer is still full";

  // The far side drains everything; room comes back and FD_WRITE with it, once.
  std::vector<char> sinkBuf(65536);
  long drained = 0;
  while (drained < total) {
    ssize_t n = recv(raw, sinkBuf.data(), sinkBuf.size(), 0);
    ASSERT_GT(n, 0);
    drained += n;
  }
  ASSERT_TRUE(PumpUntil([&] { return sink.Count(s, kFdWrite) == writesWhileFull + 1; }));
  Settle();
  EXPECT_EQ(sink.Count(s, kFdWrite), writesWhileFull + 1);
}

TEST_F(SocketNotificationTest, HandleReusedWithinOneBatchNeverGetsTheOldNotification) {
  int rawA = -1, rawB = -1;
  SocketHandle a = AcceptedFromRaw(kFdAllEvents, &rawA);
  SocketHandle b = AcceptedFromRaw(kFdAllEvents, &rawB);
  ASSERT_TRUE(PumpUntil([&] { return sink.Count(a, kFdWrite) + sink.Count(b, kFdWrite) == 2; }));

  // Both become readable in the same batch; whichever is reported first closes the
  // other and opens a socket that reuses its number.
  SocketHandle reused = -1;
  SocketHandle victim = -1;
  sink.onNotify = [&](const Note& note) {
    if (reused != -1 || note.event != kFdRead) return;
    victim = note.socket == a ? b : a;
    ASSERT_EQ(platform.CloseSocket(victim), 0);
    reused = platform.Socket(kSockDgram, kIpProtoUdp);
    ASSERT_EQ(platform.AsyncSelect(reused, kFdAllEvents), 0);
  };
  // Fill every free number below a and b, so that the next socket takes the victim's.
  for (;;) {
    int fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    if (fd > std::max(a, b)) {
      close(fd);
      break;
    }
    rawFds.push_back(fd);
  }
  ASSERT_EQ(send(rawA, "1", 1, 0), 1);
  ASSERT_EQ(send(rawB, "2", 1, 0), 1);
  usleep(50000);  // let both arrive before the loop looks
  size_t mark = sink.notes.size();
  ASSERT_TRUE(PumpUntil([&] { return reused != -1; }));
  Settle();
  ASSERT_EQ(reused, victim);
  for (size_t i = mark + 1; i < sink.notes.size(); ++i) {
    EXPECT_NE(sink.notes[i].socket, reused) << "event " << sink.notes[i].event;
  }
}

TEST_F(SocketNotificationTest, NotificationsComeFromTheLoopNotFromInsideCalls) {
  uint16_t port = 0;
  SocketHandle listener = ListeningSocket(kFdAllEvents, &port);
  RawConnect(port);
  ASSERT_TRUE(PumpUntil([&] { return sink.Count(listener, kFdAccept) == 1; }));
  SockAddrIn peer;
  size_t before = sink.notes.size();
  SocketHandle accepted = platform.Accept(listener, &peer);
  ASSERT_GE(accepted, 0);
  EXPECT_EQ(sink.notes.size(), before) << "FD_WRITE delivered inside Accept";
  EXPECT_TRUE(Readable(loop.Fd())) << "queued work must wake an embedding loop";
  loop.ProcessReady(0);
  EXPECT_EQ(sink.Count(accepted, kFdWrite), 1);
}

TEST_F(SocketNotificationTest, EmbeddingLoopSeesReadySocketsOnTheLoopDescriptor) {
  int raw = -1;
  SocketHandle s = AcceptedFromRaw(kFdAllEvents, &raw);
  ASSERT_TRUE(PumpUntil([&] { return sink.Count(s, kFdWrite) == 1; }));
  Settle();
  ASSERT_FALSE(Readable(loop.Fd()));
  ASSERT_EQ(send(raw, "ping", 4, 0), 4);
  pollfd p{loop.Fd(), POLLIN, 0};
  ASSERT_EQ(poll(&p, 1, 5000), 1);
  loop.ProcessReady(0);
  EXPECT_EQ(sink.Count(s, kFdRead), 1);
}

TEST_F(SocketNotificationTest, AHandlerThatRunsTheLoopLetsLaterNotificationsThrough) {
  int rawA = -1, rawB = -1;
  SocketHandle a = AcceptedFromRaw(kFdAllEvents, &rawA);
  SocketHandle b = AcceptedFromRaw(kFdAllEvents, &rawB);
  ASSERT_TRUE(PumpUntil([&] { return sink.Count(a, kFdWrite) + sink.Count(b, kFdWrite) == 2; }));

  // Like a modal dialog inside a handler: the loop runs again before it returns.
  bool insideA = false;
  bool bSeenInsideA = false;
  sink.onNotify = [&](const Note& note) {
    if (note.socket == b && note.event == kFdRead) bSeenInsideA = insideA;
    if (note.socket != a || note.event != kFdRead || insideA) return;
    insideA = true;
    ASSERT_EQ(send(rawB, "b", 1, 0), 1);
    EXPECT_TRUE(PumpUntil([&] { return sink.Count(b, kFdRead) == 1; }));
    insideA = false;
  };
  ASSERT_EQ(send(rawA, "a", 1, 0), 1);
  ASSERT_TRUE(PumpUntil([&] { return sink.Count(a, kFdRead) == 1 && sink.Count(b, kFdRead) == 1; }));
  EXPECT_TRUE(bSeenInsideA);
  Settle();
  EXPECT_EQ(sink.Count(a, kFdRead), 1);
  EXPECT_EQ(sink.Count(b, kFdRead), 1);
}

}  // namespace
}  // namespace toruna::net::testing
