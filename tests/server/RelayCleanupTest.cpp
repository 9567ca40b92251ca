// Limits on what the server keeps: sessions that are released, clients that do
// not read, and many clients leaving at once.

#include <pthread.h>

#include <gtest/gtest.h>

#include <map>

#include "RelayHarness.h"

namespace toruna::server::testing {
namespace {

namespace frames = protocol::frames;

// Runs fn on a thread of its own with a small stack while this thread waits, so
// that nesting that grows with the number of clients overflows it.
void OnSmallStack(size_t bytes, std::function<void()> fn) {
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  pthread_attr_setstacksize(&attr, bytes);
  pthread_t thread;
  auto run = [](void* f) -> void* {
    (*static_cast<std::function<void()>*>(f))();
    return nullptr;
  };
  ASSERT_EQ(pthread_create(&thread, &attr, run, &fn), 0);
  pthread_join(thread, nullptr);
  pthread_attr_destroy(&attr);
}

class RelayCleanupTest : public RelayHarness {
 protected:
  void ReleaseEverything() {
    for (int tick = 0; tick < 200 && (server.ReleaseCountdown() != 0 || !server.colDisconnected.empty()); ++tick) {
      Ticks(1);
    }
    Ticks(1);
  }
};

TEST_F(RelayCleanupTest, ManyShortSessionsLeaveNoSessionOrSocketBehind) {
  // Warm up once so that what the loop and the layer keep for good exists already.
  Joined("Warm").Close();
  EXPECT_TRUE(PumpUntil([&] { return server.colClients.Count() == 0; }));
  ReleaseEverything();
  clients.clear();
  const size_t sockets = OpenSockets();
  ASSERT_EQ(server.colConnections.Count(), 0);

  for (int round = 0; round < 40; ++round) {
    // One that registers and leaves, one that never registers, one that sends
    // garbage before registering.
    RelayTestClient& registered = Joined(Numbered("R", round));
    registered.Close();
    RelayTestClient& silent = Connect();
    silent.Close();
    RelayTestClient& garbage = Connect();
    garbage.Send(Bytes{1, 2, 3, 4});
    EXPECT_TRUE(PumpUntil([&] {
      for (int32_t p = 1; p <= server.colConnections.Count(); ++p) {
        if (server.colConnections.Item(p)->Sock->State() == net::StateConnected) return false;
      }
      return true;
    }));
    Forget(registered);
    clients.clear();
    if (round % 10 == 9) ReleaseEverything();
  }
  ReleaseEverything();
  EXPECT_EQ(server.colConnections.Count(), 0);
  EXPECT_EQ(server.colClients.Count(), 0);
  EXPECT_TRUE(server.colDisconnected.empty());
  EXPECT_EQ(OpenSockets(), sockets);
}

TEST_F(RelayCleanupTest, UnregisteredSessionIsReleasedOnlyOnTheNextTick) {
  RelayTestClient& c = Connect();
  std::weak_ptr<session::clsClient> session = LastSession();
  c.Close();
  EXPECT_TRUE(PumpUntil([&] { return session.lock()->Sock->State() != net::StateConnected; }));
  EXPECT_EQ(server.colConnections.Count(), 1);
  Ticks(1);
  EXPECT_EQ(server.colConnections.Count(), 0);
  EXPECT_TRUE(session.expired());
}

TEST_F(RelayCleanupTest, ClientThatNeverReadsIsDroppedOnceAMebibyteWaits) {
  RelayTestClient& ann = Joined("Ann");
  int32_t temp = CreateEvent(ann, "Temp");
  // A small window, so that the server's own queue fills soon.
  RelayTestClient& slow = Connect(4096);
  auto slowSession = LastSession();
  slow.Send(frames::ClientInfoRequest(Text("Slow")));
  EXPECT_EQ(WaitFrame(ann), frames::ClientInfo(slowSession->ID(), Text("Slow")));
  slow.Send(frames::EventSubscribe(temp, 1));
  EXPECT_EQ(WaitFrame(ann), frames::EventSubscribe(temp, 1));

  slow.StopReading();
  // From now on the slow client reads nothing. Each burst is 2043 bytes (one
  // arrival at most) and ends with a value on an event Ann does not own, whose
  // answer tells that the server has handled the whole burst.
  constexpr int32_t kForeign = 999999;
  Bytes burst;
  for (int i = 0; i < 227; ++i) {
    Bytes f = i < 226 ? frames::EventData(temp, static_cast<uint8_t>(i)) : frames::EventData(kForeign, 0);
    burst.insert(burst.end(), f.begin(), f.end());
  }
  ASSERT_EQ(burst.size(), 2043u);
  std::vector<Bytes> toAnn;
  size_t maxUnsent = 0;
  for (int round = 0; round < 1000 && server.colClients.Contains(slowSession->ID()); ++round) {
    ann.Send(burst);
    for (;;) {
      Bytes f = WaitFrame(ann);
      if (f.empty() || f == frames::EventSubscribe(kForeign, 0)) break;
      toAnn.push_back(f);
    }
    maxUnsent = std::max(maxUnsent, slowSession->Sock->UnsentByteCount());
  }
  EXPECT_FALSE(server.colClients.Contains(slowSession->ID()));
  EXPECT_GT(maxUnsent, 512u * 1024u);
  EXPECT_LE(maxUnsent, session::kUnsentLimit);
  EXPECT_EQ(slowSession->Sock->State(), net::StateClosed);
  EXPECT_EQ(toAnn, (std::vector<Bytes>{frames::EventSubscribe(temp, 0),
                                       frames::ClientGone(slowSession->ID())}));
  EXPECT_FALSE(ann.PeerClosed());
}

TEST_F(RelayCleanupTest, ThousandsLeavingTogetherAreAllAnnouncedToEveryoneStillThere) {
  constexpr int kLeaving = 2000;
  constexpr size_t kSmallStack = 1024 * 1024;
  std::vector<RelayTestClient*> observers{&Joined("O1"), &Joined("O2")};
  RelayTestClient& owner = Joined("Owner");
  int32_t temp = CreateEvent(owner, "Temp");

  // Connect and register everyone in one go; nobody but the observers reads.
  std::vector<RelayTestClient*> leaving;
  for (int i = 0; i < kLeaving; ++i) leaving.push_back(&Connect());
  for (RelayTestClient* c : leaving) {
    c->Send(frames::ClientInfoRequest(Text("L")));
    c->Send(frames::EventSubscribe(temp, 1));
  }
  EXPECT_TRUE(PumpUntil([&] { return server.colClients.Count() == kLeaving + 3; }));
  auto event = server.colClients.Item(3)->Events.Item(1);
  EXPECT_TRUE(PumpUntil([&] { return event->ClientCount() == kLeaving; }));
  std::set<int32_t> leavingIds;
  for (int32_t p = 4; p <= server.colClients.Count(); ++p) leavingIds.insert(server.colClients.IdAt(p));
  for (RelayTestClient* o : observers) Sync(*o);
  Sync(owner);

  for (RelayTestClient* c : leaving) c->Abort();
  OnSmallStack(kSmallStack, [&] {
    EXPECT_TRUE(PumpUntil([&] { return server.colClients.Count() == 3; }));
    Pump();
  });

  // Each observer heard every departure exactly once, and nothing else.
  for (RelayTestClient* o : observers) {
    std::map<int32_t, int> gone;
    while (std::optional<Bytes> f = o->TakeFrame()) {
      ASSERT_EQ(f->size(), 8u);
      ASSERT_EQ((*f)[3], protocol::ClientGone);
      ++gone[protocol::GetInt32(f->data() + 4)];
    }
    EXPECT_EQ(gone.size(), leavingIds.size());
    for (auto [id, times] : gone) {
      EXPECT_TRUE(leavingIds.count(id)) << id;
      EXPECT_EQ(times, 1) << id;
    }
  }
  EXPECT_EQ(event->ClientCount(), 0);
  EXPECT_EQ(server.colDisconnected.size(), static_cast<size_t>(kLeaving));
}

}  // namespace
}  // namespace toruna::server::testing
