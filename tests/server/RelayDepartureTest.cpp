// Departures: what the remaining clients are told, the release countdown, and
// departures set off by sends in the middle of a broadcast.

#include <gtest/gtest.h>

#include "RelayHarness.h"

namespace toruna::server::testing {
namespace {

namespace frames = protocol::frames;

class RelayDepartureTest : public RelayHarness {};

TEST_F(RelayDepartureTest, RemainingClientsGetClientGoneAndOwnersANoticeOnlyForAnEventLeftWithoutSubscribers) {
  RelayTestClient& ann = Joined("Ann");  // 1
  int32_t quiet = CreateEvent(ann, "Quiet");
  int32_t busy = CreateEvent(ann, "Busy");
  RelayTestClient& bo = Joined("Bo");
  RelayTestClient& cy = Joined("Cy");
  RelayTestClient& di = Joined("Di");
  bo.Send(frames::EventSubscribe(busy, 1));
  EXPECT_EQ(WaitFrame(ann), frames::EventSubscribe(busy, 1));
  cy.Send(frames::EventSubscribe(busy, 1));
  int32_t diId = server.colClients.IdAt(4);

  // Di subscribed to nothing: Ann hears of the departure only (Quiet had no
  // subscriber before and has none now; that is no news).
  di.Close();
  Forget(di);
  EXPECT_EQ(WaitFrame(ann), Bytes({42, 5, 0, 3, static_cast<uint8_t>(diId), 0, 0, 0}));
  EXPECT_EQ(WaitFrame(bo), frames::ClientGone(diId));
  EXPECT_EQ(WaitFrame(cy), frames::ClientGone(diId));

  // Bo leaves Busy with Cy on it: no notice.
  int32_t boId = server.colClients.IdAt(2);
  bo.Abort();
  Forget(bo);
  EXPECT_EQ(WaitFrame(ann), frames::ClientGone(boId));
  EXPECT_EQ(WaitFrame(cy), frames::ClientGone(boId));

  // Cy was Busy's last subscriber: Busy, then the departure; never Quiet.
  int32_t cyId = server.colClients.IdAt(2);
  cy.Close();
  EXPECT_EQ(WaitFrame(ann), frames::EventSubscribe(busy, 0));
  EXPECT_EQ(WaitFrame(ann), frames::ClientGone(cyId));
  Settle(50);
  EXPECT_EQ(ann.Unread(), 0u);
  EXPECT_EQ(server.colClients.Count(), 1);
  EXPECT_EQ(server.colDisconnected.size(), 3u);
  EXPECT_TRUE(alerts.shown.empty());
  (void)quiet;
}

TEST_F(RelayDepartureTest, SecondDisconnectForTheSameIdDoesNothing) {
  RelayTestClient& ann = Joined("Ann");
  RelayTestClient& bo = Joined("Bo");
  int32_t boId = server.colClients.IdAt(2);
  bo.Close();
  EXPECT_EQ(WaitFrame(ann), frames::ClientGone(boId));
  server.CL_Disconnect(boId);
  server.CL_Disconnect(12345);
  Settle(50);
  EXPECT_EQ(ann.Unread(), 0u);
  EXPECT_EQ(server.colDisconnected.size(), 1u);
  EXPECT_EQ(server.colClients.Count(), 1);
}

TEST_F(RelayDepartureTest, DepartedSessionIsReleasedOnTheTenthTickAfterTheFirstThatSawIt) {
  RelayTestClient& ann = Joined("Ann");
  RelayTestClient& bo = Joined("Bo");
  int32_t boId = server.colClients.IdAt(2);
  Ticks(3);  // nothing departed: the countdown rests
  EXPECT_EQ(server.ReleaseCountdown(), 0);
  bo.Close();
  WaitFrame(ann);
  std::weak_ptr<session::clsClient> departed = server.colDisconnected.front();

  Ticks(1);  // sees it
  EXPECT_EQ(server.ReleaseCountdown(), 10);
  for (int tick = 1; tick <= 9; ++tick) {
    Ticks(1);
    EXPECT_EQ(server.colDisconnected.size(), 1u) << "tick " << tick;
  }
  EXPECT_EQ(server.ReleaseCountdown(), 1);
  Ticks(1);  // the tenth
  EXPECT_TRUE(server.colDisconnected.empty());
  EXPECT_TRUE(departed.expired());
  EXPECT_FALSE(server.colConnections.Contains(boId));
  EXPECT_EQ(server.ReleaseCountdown(), 1);
  Ticks(1);
  EXPECT_EQ(server.ReleaseCountdown(), 0);
}

TEST_F(RelayDepartureTest, DeparturesOfOneSecondAreReleasedTogetherAndALaterOneOnALaterTick) {
  RelayTestClient& ann = Joined("Ann");
  std::vector<RelayTestClient*> clients{&Joined("Bo"), &Joined("Cy"), &Joined("Di"), &Joined("Ed")};
  std::vector<std::weak_ptr<session::clsClient>> departed;
  auto leave = [&](RelayTestClient* c) {
    size_t before = server.colDisconnected.size();
    c->Close();
    EXPECT_TRUE(PumpUntil([&] { return server.colDisconnected.size() > before; }));
    departed.push_back(server.colDisconnected.back());
  };
  for (RelayTestClient* c : {clients[1], clients[0], clients[2]}) leave(c);
  Ticks(5);
  leave(clients[3]);
  Ticks(5);
  EXPECT_EQ(server.colDisconnected.size(), 4u);
  Ticks(1);  // the tenth after the first that saw the three: they go at once, the later one stays
  ASSERT_EQ(server.colDisconnected.size(), 1u);
  EXPECT_EQ(server.colDisconnected.front(), departed[3].lock());
  for (size_t i = 0; i < 3; ++i) EXPECT_TRUE(departed[i].expired()) << i;
  Ticks(1);
  EXPECT_TRUE(server.colDisconnected.empty());
  EXPECT_TRUE(departed[3].expired());
  EXPECT_EQ(server.colConnections.Count(), 1);
  (void)ann;
}

TEST_F(RelayDepartureTest, SeveralSubscribersVanishingDuringOneBroadcastLeaveTheRestServedOnce) {
  RelayTestClient& ann = Joined("Ann");
  std::vector<RelayTestClient*> subs;
  for (const char* name : {"S1", "S2", "S3", "S4", "S5", "S6"}) subs.push_back(&Joined(name));
  int32_t temp = CreateEvent(ann, "Temp");
  for (RelayTestClient* s : subs) s->Send(frames::EventSubscribe(temp, 1));
  auto event = server.colClients.Item(1)->Events.Item(1);
  EXPECT_TRUE(PumpUntil([&] { return event->ClientCount() == 6; }));
  WaitFrame(ann);

  // The sockets of S2, S4 and S6 are closed on the server's side without the
  // server having heard of it: the first send to each makes it depart then.
  std::vector<int32_t> goneIds;
  for (int i : {1, 3, 5}) {
    auto session = server.colClients.Item(i + 2);
    goneIds.push_back(session->ID());
    session->Sock->CloseSck();
  }
  ann.Send(frames::EventData(temp, 7));
  // S6 is served first and departs; its ClientGone finds S4 and S2 gone, whose
  // own ClientGone follow. Only then does the value reach S5, S3 and S1.
  std::vector<int32_t> goneOrder(goneIds.rbegin(), goneIds.rend());
  for (int i : {0, 2, 4}) {
    for (int32_t id : goneOrder) EXPECT_EQ(WaitFrame(*subs[i]), frames::ClientGone(id));
    EXPECT_EQ(WaitFrame(*subs[i]), frames::EventData(temp, 7)) << "S" << i + 1;
  }
  for (int32_t id : goneOrder) EXPECT_EQ(WaitFrame(ann), frames::ClientGone(id));
  Settle(50);
  for (RelayTestClient* s : subs) EXPECT_EQ(s->Unread(), 0u);
  EXPECT_EQ(ann.Unread(), 0u);
  EXPECT_EQ(event->ClientCount(), 3);
  EXPECT_EQ(server.colClients.Count(), 4);
}

}  // namespace
}  // namespace toruna::server::testing
