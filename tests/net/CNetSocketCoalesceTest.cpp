// Coalesced sends: bytes queued during one batch go to the platform together
// when the batch is over, over a real loopback connection with the platform's
// answers scripted where the behaviour depends on them.

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <optional>
#include <vector>

#include "LoopbackRig.h"

namespace toruna::net::testing {
namespace {

using Bytes = std::vector<uint8_t>;

// The send events of one object and its Error events.
struct CoalesceEvents : SendEvents {
  std::vector<ErrorSeen> errors;
  void Attach(const std::shared_ptr<CNetSocket>& s) {
    SendEvents::Attach(s);
    LoopbackRig::CollectErrors(s, errors);
  }
};

class CNetSocketCoalesceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    rig.ReportSendBuffer(8192);
    pair = rig.ConnectPair();
    ASSERT_TRUE(pair.server);
    ASSERT_EQ(pair.client->State(), StateConnected);
    // Let the connection's first notifications pass before counting anything.
    rig.Settle();
    pair.client->SetCoalesceSends(true);
    events.Attach(pair.client);
    rig.fake.sendLengths.clear();
  }

  // Runs the work deferred so far (the end of the current batch).
  void EndBatch() { rig.loop.ProcessReady(0); }

  Bytes ReceiveAt(const std::shared_ptr<CNetSocket>& s, size_t count) {
    EXPECT_TRUE(rig.Pump([&] { return s->BytesReceived() >= int32_t(count); }));
    Variant data;
    s->GetData(data);
    return data.IsEmpty() ? Bytes{} : data.AsBytes();
  }

  // What the server side has received, read until `count` bytes have come (or nothing more does).
  Bytes ReceiveAllAtServer(size_t count) {
    Bytes got;
    while (got.size() < count) {
      const Bytes part = ReceiveAt(pair.server, 1);
      if (part.empty()) break;
      got.insert(got.end(), part.begin(), part.end());
    }
    return got;
  }

  // Collects whatever s receives, also after the peer's close ends GetData's use.
  static void Collect(const std::shared_ptr<CNetSocket>& s, Bytes& into) {
    s->On().OnDataArrival = [s = s.get(), &into](int32_t) {
      Variant data;
      s->GetData(data);
      if (!data.IsEmpty()) {
        const Bytes part = data.AsBytes();
        into.insert(into.end(), part.begin(), part.end());
      }
    };
  }

  static Bytes Pattern(size_t n, uint8_t seed) {
    Bytes b(n);
    for (size_t i = 0; i < n; ++i) b[i] = uint8_t(seed + i * 13);
    return b;
  }

  LoopbackRig rig;
  LoopbackRig::Pair pair;
  CoalesceEvents events;
};

TEST_F(CNetSocketCoalesceTest, SendsOfOneBatchLeaveInOneHandOverWithTheSameBytesInOrder) {
  // A second connection without coalescing gets the same values for comparison.
  LoopbackRig::Pair plain = rig.ConnectPair();
  ASSERT_TRUE(plain.server);
  rig.Settle();
  EXPECT_FALSE(plain.client->CoalesceSends());

  auto sendAll = [](CNetSocket& s) {
    s.SendData(Variant(int16_t(1)));
    s.SendData(Variant("Abc"));
    s.SendData(Variant(2.5));
    const uint8_t frame[] = {42, 2, 0, 0, 7, 9};
    s.SendBytes(frame, sizeof frame);
    s.SendData(Variant(true));
    s.SendData(Variant(std::string()));  // nothing
  };

  rig.fake.sendLengths.clear();
  sendAll(*plain.client);
  EXPECT_EQ(rig.fake.sendLengths.size(), 5u);  // one platform call per non-empty send

  rig.fake.sendLengths.clear();
  sendAll(*pair.client);
  EXPECT_TRUE(rig.fake.sendLengths.empty());
  EXPECT_EQ(pair.client->UnsentByteCount(), 21u);
  EXPECT_TRUE(events.progress.empty());

  EndBatch();
  EXPECT_EQ(rig.fake.sendLengths, (std::vector<int>{21}));
  EXPECT_EQ(pair.client->UnsentByteCount(), 0u);

  const Bytes expected = ReceiveAt(plain.server, 21);
  ASSERT_EQ(expected.size(), 21u);
  EXPECT_EQ(ReceiveAt(pair.server, 21), expected);
}

TEST_F(CNetSocketCoalesceTest, EventsFireOncePerDeferredHandOver) {
  pair.client->SendData(Variant("one"));
  pair.client->SendData(Variant("two"));
  EndBatch();
  EXPECT_EQ(events.progress, (std::vector<std::pair<int32_t, int32_t>>{{6, 0}}));
  EXPECT_EQ(events.complete, 1);

  EndBatch();  // nothing left: no further events
  EXPECT_EQ(events.complete, 1);

  // A later batch has a hand-over and events of its own; a send made from its
  // SendComplete handler goes out behind it, as it would without coalescing.
  pair.client->On().OnSendComplete = [&] {
    if (++events.complete == 2) pair.client->SendData(Variant("late"));
  };
  pair.client->SendData(Variant("three"));
  EndBatch();
  EXPECT_EQ(events.progress,
            (std::vector<std::pair<int32_t, int32_t>>{{6, 0}, {5, 0}, {4, 0}}));
  EXPECT_EQ(events.complete, 3);
  EXPECT_EQ(rig.fake.sendLengths, (std::vector<int>{6, 5, 4}));
  const std::string text = "onetwothreelate";
  EXPECT_EQ(ReceiveAt(pair.server, text.size()), Bytes(text.begin(), text.end()));
}

TEST_F(CNetSocketCoalesceTest, LargeQueueIsHandedOverAtOnceWithoutWaitingForTheBatch) {
  const Bytes small = Pattern(100, 1);
  pair.client->SendBytes(small.data(), small.size());
  EXPECT_TRUE(rig.fake.sendLengths.empty());

  const Bytes big = Pattern(CNetSocket::kCoalesceFlushSize, 2);
  pair.client->SendBytes(big.data(), big.size());
  EXPECT_FALSE(rig.fake.sendLengths.empty());
  EXPECT_EQ(pair.client->UnsentByteCount(), 0u);
  const int32_t total = int32_t(small.size() + big.size());
  EXPECT_EQ(events.progress, (std::vector<std::pair<int32_t, int32_t>>{{total, 0}}));
  EXPECT_EQ(events.complete, 1);

  // The deferral that was already asked for finds nothing left to do.
  const size_t calls = rig.fake.sendLengths.size();
  EndBatch();
  EXPECT_EQ(rig.fake.sendLengths.size(), calls);
  EXPECT_EQ(events.complete, 1);

  Bytes expected = small;
  expected.insert(expected.end(), big.begin(), big.end());
  EXPECT_EQ(ReceiveAllAtServer(expected.size()), expected);
}

// A large piece the caller holds (SendPiece) skips the queue when nothing waits
// before it: the platform takes it at once from the caller's bytes, and what it
// does not take waits in the queue for FD_WRITE, ahead of later sends.
TEST_F(CNetSocketCoalesceTest, LargePieceWithNothingQueuedGoesStraightToThePlatform) {
  const Bytes small = Pattern(CNetSocket::kDirectHandOverSize - 1, 4);
  pair.client->SendPiece(small.data(), small.size(), false);
  EXPECT_TRUE(rig.fake.sendLengths.empty()) << "a small piece waits for the batch";
  const Bytes joins = Pattern(CNetSocket::kDirectHandOverSize, 5);
  pair.client->SendPiece(joins.data(), joins.size(), true);
  EXPECT_TRUE(rig.fake.sendLengths.empty()) << "a large piece behind queued bytes joins them";
  EndBatch();
  EXPECT_EQ(rig.fake.sendLengths, (std::vector<int>{int(small.size() + joins.size())}));
  EXPECT_EQ(events.complete, 1);

  int calls = 0;
  rig.fake.onSend = [&](SocketHandle, const uint8_t*, int) -> std::optional<int> {
    if (++calls == 3) {
      rig.fake.SetError(kErrWouldBlock);
      return -1;
    }
    return std::nullopt;
  };
  rig.fake.sendLengths.clear();
  Bytes piece = Pattern(20000, 6);
  pair.client->SendPiece(piece.data(), piece.size(), true);
  EXPECT_EQ(rig.fake.sendLengths, (std::vector<int>{8192, 8192, 3616}));  // the last would block
  EXPECT_EQ(events.progress.back(), (std::pair<int32_t, int32_t>{16384, 3616}));
  EXPECT_EQ(events.complete, 1);
  const uint8_t tail[] = {0xAA, 0xBB};
  pair.client->SendBytes(tail, sizeof tail);
  EXPECT_EQ(pair.client->UnsentByteCount(), 3618u);
  pair.client->WndProc(0, 2049, pair.client->SocketHandle(), kFdWrite);
  EXPECT_EQ(events.progress.back(), (std::pair<int32_t, int32_t>{3618, 0}));
  EXPECT_EQ(events.complete, 2);

  Bytes expected = small;
  expected.insert(expected.end(), joins.begin(), joins.end());
  expected.insert(expected.end(), piece.begin(), piece.end());
  expected.insert(expected.end(), tail, tail + 2);
  EXPECT_EQ(ReceiveAllAtServer(expected.size()), expected);
}

TEST_F(CNetSocketCoalesceTest, WouldBlockInADeferredHandOverResumesOnTheNextFdWrite) {
  int calls = 0;
  rig.fake.onSend = [&](SocketHandle, const uint8_t*, int) -> std::optional<int> {
    if (++calls == 2) {
      rig.fake.SetError(kErrWouldBlock);
      return -1;
    }
    return std::nullopt;
  };
  Bytes payload = Pattern(20000, 3);
  pair.client->SendBytes(payload.data(), payload.size());
  EndBatch();
  EXPECT_EQ(events.progress, (std::vector<std::pair<int32_t, int32_t>>{{8192, 11808}}));
  EXPECT_EQ(events.complete, 0);
  EXPECT_TRUE(events.errors.empty());

  // While the platform is full, new bytes wait behind the old ones for FD_WRITE:
  // no batch end hands them over.
  const uint8_t tail[] = {0xAA, 0xBB};
  pair.client->SendBytes(tail, sizeof tail);
  rig.Settle();
  EXPECT_EQ(rig.fake.sendLengths.size(), 2u);
  EXPECT_EQ(pair.client->UnsentByteCount(), 11810u);

  pair.client->WndProc(0, 2049, pair.client->SocketHandle(), kFdWrite);
  EXPECT_EQ(events.progress.back(), (std::pair<int32_t, int32_t>{11810, 0}));
  EXPECT_EQ(events.complete, 1);
  payload.insert(payload.end(), tail, tail + 2);
  EXPECT_EQ(ReceiveAllAtServer(payload.size()), payload);

  // Sends after the resumed hand-over are coalesced again.
  rig.fake.sendLengths.clear();
  pair.client->SendData(Variant("x"));
  EXPECT_TRUE(rig.fake.sendLengths.empty());
  EndBatch();
  EXPECT_EQ(rig.fake.sendLengths, (std::vector<int>{1}));
}

TEST_F(CNetSocketCoalesceTest, CloseInTheSameBatchDeliversWhatWasAcceptedAndRaisesNothing) {
  Bytes received;
  Collect(pair.server, received);
  const Bytes payload = Pattern(3000, 4);
  pair.client->SendBytes(payload.data(), payload.size());
  pair.client->SendData(Variant("end"));
  pair.client->CloseSck();
  EXPECT_EQ(pair.client->State(), StateClosed);
  EXPECT_EQ(pair.client->UnsentByteCount(), 0u);
  EXPECT_EQ(rig.fake.sendLengths, (std::vector<int>{3003}));

  EndBatch();
  rig.Settle();
  EXPECT_EQ(rig.fake.sendLengths.size(), 1u);
  EXPECT_TRUE(events.progress.empty());
  EXPECT_EQ(events.complete, 0);
  EXPECT_TRUE(events.errors.empty());
  EXPECT_TRUE(rig.alerts.shown.empty());

  Bytes expected = payload;
  expected.insert(expected.end(), {'e', 'n', 'd'});
  EXPECT_TRUE(rig.Pump([&] { return pair.server->State() == StateClosing; }));
  EXPECT_EQ(received, expected);
}

TEST_F(CNetSocketCoalesceTest, CloseAfterAWouldBlockDiscardsTheRestAsWithoutCoalescing) {
  rig.fake.onSend = [&](SocketHandle, const uint8_t*, int) -> std::optional<int> {
    rig.fake.SetError(kErrWouldBlock);
    return -1;
  };
  pair.client->SendData(Variant("waiting"));
  EndBatch();
  EXPECT_EQ(rig.fake.sendLengths.size(), 1u);
  pair.client->SendData(Variant("more"));
  pair.client->CloseSck();
  EXPECT_EQ(rig.fake.sendLengths.size(), 1u);
  EXPECT_EQ(pair.client->UnsentByteCount(), 0u);
  EXPECT_TRUE(events.progress.empty());
  EXPECT_TRUE(events.errors.empty());
}

TEST_F(CNetSocketCoalesceTest, PeerCloseInTheSameBatchStillHandsOverTheQueuedBytes) {
  pair.client->SendData(Variant("reply"));
  // The peer's close arrives in the same batch; the owner keeps the socket open.
  pair.client->WndProc(0, 2049, pair.client->SocketHandle(), kFdClose);
  EXPECT_EQ(pair.client->State(), StateClosing);
  EndBatch();
  EXPECT_EQ(rig.fake.sendLengths, (std::vector<int>{5}));
  EXPECT_EQ(events.complete, 1);
  EXPECT_EQ(ReceiveAt(pair.server, 5), (Bytes{'r', 'e', 'p', 'l', 'y'}));
}

TEST_F(CNetSocketCoalesceTest, FailedDeferredHandOverIsReportedOnceThroughError) {
  pair.client->On().OnError = [&](SocketErrorArgs& e) {
    events.errors.push_back({e.Number, e.Description, e.Source, e.CancelDisplay});
  };
  rig.fake.Fail(Call::Send, kErrConnectionReset);
  pair.client->SendData(Variant("abc"));
  EXPECT_TRUE(events.errors.empty());
  EndBatch();
  ASSERT_EQ(events.errors.size(), 1u);
  EXPECT_EQ(events.errors[0].number, kErrConnectionReset);
  EXPECT_EQ(events.errors[0].source, "CNetSocket.SendBufferedData");
  EXPECT_TRUE(events.errors[0].cancelDisplay);
  EXPECT_EQ(pair.client->State(), StateError);
  EXPECT_EQ(pair.client->UnsentByteCount(), 3u);

  // Neither a later batch nor the close tries again or reports again.
  pair.client->SendData(Variant("ignored"));
  EndBatch();
  pair.client->CloseSck();
  EXPECT_EQ(rig.fake.sendLengths.size(), 1u);
  EXPECT_EQ(events.errors.size(), 1u);
  EXPECT_TRUE(events.progress.empty());
}

TEST_F(CNetSocketCoalesceTest, ReleasingTheObjectWithAPendingHandOverDeliversAndLeavesNothingBehind) {
  Bytes received;
  Collect(pair.server, received);
  std::weak_ptr<CNetSocket> watch = pair.client;
  pair.client->SendData(Variant("last words"));
  pair.client.reset();
  EXPECT_TRUE(watch.expired());
  EXPECT_EQ(rig.fake.sendLengths, (std::vector<int>{10}));
  EndBatch();  // the deferral runs after its object is gone
  rig.Settle();
  EXPECT_EQ(rig.fake.sendLengths.size(), 1u);
  EXPECT_EQ(events.complete, 0);
  const std::string text = "last words";
  EXPECT_TRUE(rig.Pump([&] { return pair.server->State() == StateClosing; }));
  EXPECT_EQ(received, Bytes(text.begin(), text.end()));
}

TEST_F(CNetSocketCoalesceTest, HandlerReleasingAnotherPendingObjectDuringTheBatchEndIsSafe) {
  LoopbackRig::Pair other = rig.ConnectPair();
  ASSERT_TRUE(other.server);
  rig.Settle();
  other.client->SetCoalesceSends(true);
  rig.fake.sendLengths.clear();
  // The first hand-over's handler releases the second object, still waiting.
  pair.client->On().OnSendComplete = [&] { other.client.reset(); };
  pair.client->SendData(Variant("first"));
  other.client->SendData(Variant("second"));
  EndBatch();
  EXPECT_FALSE(other.client);
  EXPECT_EQ(rig.fake.sendLengths, (std::vector<int>{5, 6}));
  EXPECT_EQ(ReceiveAt(other.server, 6), (Bytes{'s', 'e', 'c', 'o', 'n', 'd'}));
}

// Bytes that may wait stay queued past the end of the batch; the next bytes that
// may not take them along, in order; left alone, the timer hands them over.
TEST_F(CNetSocketCoalesceTest, BytesThatMayWaitLeaveWithTheNextUrgentOnesOrWhenTheTimerRuns) {
  Bytes received;
  Collect(pair.server, received);
  const uint8_t ab[] = {'a', 'b'}, cd[] = {'c', 'd'}, ef[] = {'E', 'F'}, gh[] = {'g', 'h'};
  pair.client->SendBytesLater(ab, 2);
  EndBatch();
  EXPECT_TRUE(rig.fake.sendLengths.empty()) << "bytes that may wait left at the end of the batch";
  pair.client->SendBytesLater(cd, 2);
  pair.client->SendBytes(ef, 2);
  EXPECT_TRUE(rig.fake.sendLengths.empty());
  EndBatch();
  EXPECT_EQ(rig.fake.sendLengths, (std::vector<int>{6}));
  EXPECT_EQ(events.complete, 1);

  // The timer that the first bytes started finds nothing left; the next bytes
  // that may wait start their own wait.
  pair.client->SendBytesLater(gh, 2);
  EXPECT_TRUE(rig.Pump([&] { return rig.fake.sendLengths.size() == 2; }));
  EXPECT_EQ(rig.fake.sendLengths, (std::vector<int>{6, 2}));
  EXPECT_EQ(events.complete, 2);
  rig.RunFor(std::chrono::milliseconds(20));
  EXPECT_EQ(rig.fake.sendLengths.size(), 2u);
  EXPECT_TRUE(rig.Pump([&] { return received.size() == 8; }));
  EXPECT_EQ(received, (Bytes{'a', 'b', 'c', 'd', 'E', 'F', 'g', 'h'}));
}

TEST_F(CNetSocketCoalesceTest, BytesThatMayWaitAreHandedOverByACloseAndWithoutATimerAtTheBatchEnd) {
  Bytes received;
  Collect(pair.server, received);
  const uint8_t one[] = {1, 2, 3};
  pair.client->SendBytesLater(one, 3);
  pair.client->CloseSck();
  EXPECT_EQ(rig.fake.sendLengths, (std::vector<int>{3}));
  EXPECT_TRUE(rig.Pump([&] { return pair.server->State() == StateClosing; }));
  EXPECT_EQ(received, (Bytes{1, 2, 3}));
  rig.RunFor(std::chrono::milliseconds(20));  // the timer finds the object closed
  EXPECT_EQ(rig.fake.sendLengths.size(), 1u);
  EXPECT_TRUE(events.errors.empty());

  LoopbackRig::Pair other = rig.ConnectPair();
  ASSERT_TRUE(other.server);
  rig.Settle();
  other.client->SetCoalesceSends(true);
  rig.fake.sendLengths.clear();
  rig.scheduler.refuseTimer = true;
  other.client->SendBytesLater(one, 3);
  EXPECT_TRUE(rig.fake.sendLengths.empty());
  EndBatch();
  EXPECT_EQ(rig.fake.sendLengths, (std::vector<int>{3}));
}

TEST_F(CNetSocketCoalesceTest, DispatcherThatCannotDeferGetsTheImmediateHandOver) {
  rig.scheduler.refuseDeferral = true;
  pair.client->SendData(Variant("now"));
  EXPECT_EQ(rig.fake.sendLengths, (std::vector<int>{3}));
  EXPECT_EQ(events.complete, 1);
  EXPECT_EQ(ReceiveAt(pair.server, 3), (Bytes{'n', 'o', 'w'}));
}

TEST_F(CNetSocketCoalesceTest, UdpSendsStaySeparateDatagrams) {
  auto udp = rig.NewSocket(ProtocolUdp);
  udp->SetCoalesceSends(true);
  auto receiver = rig.NewSocket(ProtocolUdp);
  receiver->Bind(Variant(0), Variant("127.0.0.1"));
  std::vector<int32_t> sizes;
  receiver->On().OnDataArrival = [&](int32_t bytesTotal) {
    sizes.push_back(bytesTotal);
    Variant data;
    receiver->GetData(data);
  };
  udp->SetRemoteHost("127.0.0.1");
  udp->SetRemotePort(receiver->LocalPort());
  udp->SendData(Variant("ab"));
  udp->SendData(Variant("cde"));
  EXPECT_TRUE(rig.Pump([&] { return sizes.size() >= 2; }));
  EXPECT_EQ(sizes, (std::vector<int32_t>{2, 3}));
}

int NoDelayOf(int fd) {
  int value = 0;
  socklen_t len = sizeof value;
  ::getsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &value, &len);
  return value;
}

TEST_F(CNetSocketCoalesceTest, NoDelayAppliesToTheCurrentSocketAndToOneAcceptedLater) {
  EXPECT_EQ(NoDelayOf(pair.client->SocketHandle()), 0);
  EXPECT_TRUE(pair.client->SetNoDelay(true));
  EXPECT_TRUE(pair.client->NoDelay());
  EXPECT_NE(NoDelayOf(pair.client->SocketHandle()), 0);
  EXPECT_TRUE(pair.client->SetNoDelay(false));
  EXPECT_EQ(NoDelayOf(pair.client->SocketHandle()), 0);

  // Asked for before Accept: the accepted connection gets it.
  auto listener = rig.NewListener();
  ASSERT_TRUE(listener);
  std::shared_ptr<CNetSocket> server;
  listener->On().OnConnectionRequest = [&](int32_t id) {
    server = rig.NewSocket();
    server->SetNoDelay(true);
    server->Accept(id);
  };
  auto client = rig.NewSocket();
  client->Connect(Variant("127.0.0.1"), Variant(listener->LocalPort()));
  ASSERT_TRUE(rig.Pump([&] { return server && server->State() == StateConnected; }));
  EXPECT_NE(NoDelayOf(server->SocketHandle()), 0);
}

}  // namespace
}  // namespace toruna::net::testing
