// Registration, event creation and removal, subscriptions and published values,
// end to end over loopback.

#include <gtest/gtest.h>

#include <algorithm>

#include "RelayHarness.h"

namespace toruna::server::testing {
namespace {

namespace frames = protocol::frames;

class RelayRoutingTest : public RelayHarness {
 protected:
  static Bytes Subscribe(int32_t eventId, uint8_t flag) { return frames::EventSubscribe(eventId, flag); }
};

TEST_F(RelayRoutingTest, FirstClientGetsOnlyServerInfoAndIdsComeFromOneCounter) {
  RelayTestClient& ann = Connect();
  EXPECT_EQ(server.List1().back(), "connection received");
  EXPECT_EQ(RegisterAs(ann, "Ann").size(), 0u);
  EXPECT_EQ(server.List1().back(), "Ann registered.");
  EXPECT_EQ(server.colClients.IdAt(1), 1);
  // An event created next draws ID 2.
  ann.Send(frames::EventInfoRequest(77, 10, 100, Text("Temp")));
  EXPECT_EQ(WaitFrame(ann), frames::EventCreated(77, 2));
  Pump();
  EXPECT_EQ(ann.Unread(), 0u);
}

TEST_F(RelayRoutingTest, NewcomerLearnsEveryoneInRegistrationOrderAndIsAnnouncedLatestFirst) {
  RelayTestClient& ann = Joined("Ann");                      // ID 1
  int32_t temp = CreateEvent(ann, std::string("Temp\0C", 6));  // ID 2
  RelayTestClient& bo = Joined("Bo");                        // ID 3
  RelayTestClient& cy = Connect();                           // ID 4
  std::vector<Bytes> got = RegisterAs(cy, "Cy");
  ASSERT_EQ(got.size(), 3u);
  EXPECT_EQ(got[0], frames::ClientInfo(1, Text("Ann")));
  EXPECT_EQ(got[1], frames::EventInfo(1, temp, 10, 100, Text(std::string("Temp\0C", 6))));
  EXPECT_EQ(got[2], frames::ClientInfo(3, Text("Bo")));
  EXPECT_EQ(WaitFrame(bo), frames::ClientInfo(4, Text("Cy")));
  EXPECT_EQ(WaitFrame(ann), frames::ClientInfo(4, Text("Cy")));
  // Bo was served before Ann: Bo's frame went out first on the server's side.
  EXPECT_EQ(server.colClients.Count(), 3);
  EXPECT_EQ(server.colClients.IdAt(3), 4);
}

// The roster a newcomer gets is kept between registrations; every other change of
// the registry (an event removed, a client gone) must show in the next one.
TEST_F(RelayRoutingTest, NewcomerRosterFollowsEveryChangeOfTheRegistry) {
  RelayTestClient& ann = Joined("Ann");   // ID 1
  int32_t temp = CreateEvent(ann, "Temp");  // ID 2
  RelayTestClient& bo = Joined("Bo");     // ID 3
  ann.Send(frames::EventRemove(temp));
  EXPECT_EQ(WaitFrame(bo), frames::EventRemove(temp));
  RelayTestClient& cy = Connect();        // ID 4
  EXPECT_EQ(RegisterAs(cy, "Cy"),
            (std::vector<Bytes>{frames::ClientInfo(1, Text("Ann")), frames::ClientInfo(3, Text("Bo"))}));
  WaitFrame(ann);
  WaitFrame(bo);

  bo.Close();
  EXPECT_EQ(WaitFrame(cy), frames::ClientGone(3));
  EXPECT_EQ(WaitFrame(ann), frames::ClientGone(3));
  Forget(bo);
  RelayTestClient& dee = Connect();       // ID 5
  EXPECT_EQ(RegisterAs(dee, "Dee"),
            (std::vector<Bytes>{frames::ClientInfo(1, Text("Ann")), frames::ClientInfo(4, Text("Cy"))}));
}

// Registrations that arrive together share their writes (announcements may wait a
// little for the next ones), and still every client gets exactly the frames it
// would get one registration at a time, in the same order: everybody registered
// before it, its ServerInfo, then everybody registered after it.
TEST_F(RelayRoutingTest, ABurstOfRegistrationsKeepsEveryFrameAndItsOrder) {
  constexpr int kClients = 40;
  std::vector<RelayTestClient*> burst;
  for (int i = 0; i < kClients; ++i) burst.push_back(&Connect());
  for (int i = 0; i < kClients; ++i) burst[i]->Send(frames::ClientInfoRequest(Text(Numbered("c", i))));
  ASSERT_TRUE(PumpUntil([&] { return server.colClients.Count() == kClients; }));

  // The order in which the server registered them, and what each must get.
  std::vector<Bytes> announcements;
  std::vector<int> clientAt;  // registration position -> index in burst
  for (int32_t p = 1; p <= kClients; ++p) {
    const auto& session = server.colClients.Item(p);
    announcements.push_back(frames::ClientInfo(session->ID(), Text(session->name())));
    clientAt.push_back(std::stoi(session->name().substr(1)));
  }
  std::vector<std::vector<Bytes>> got(kClients);
  auto complete = [&] {
    for (int i = 0; i < kClients; ++i) {
      while (std::optional<Bytes> f = burst[i]->TakeFrame()) got[i].push_back(*f);
      if (got[i].size() < kClients) return false;
    }
    return true;
  };
  ASSERT_TRUE(PumpUntil(complete));
  Pump();
  for (int p = 0; p < kClients; ++p) {
    std::vector<Bytes> expected(announcements.begin(), announcements.begin() + p);
    expected.push_back(server.NameMessage());
    expected.insert(expected.end(), announcements.begin() + p + 1, announcements.end());
    EXPECT_EQ(got[clientAt[p]], expected) << "client registered as number " << p + 1;
    EXPECT_EQ(burst[clientAt[p]]->Unread(), 0u);
  }
}

TEST_F(RelayRoutingTest, NamesAndUnitsTravelAsWindows1252) {
  RelayTestClient& ann = Joined("Ann");
  Bytes name{'J', 0xF6, 'r', 'g'};  // Jörg
  RelayTestClient& jo = Connect();
  jo.Send(frames::ClientInfoRequest(name));
  EXPECT_EQ(WaitFrame(jo), frames::ClientInfo(1, Text("Ann")));
  EXPECT_EQ(WaitFrame(jo), server.NameMessage());
  EXPECT_EQ(WaitFrame(ann), frames::ClientInfo(LastSession()->ID(), name));
  EXPECT_EQ(LastSession()->name(), "J\xC3\xB6rg");
  EXPECT_EQ(server.List1().back(), "J\xC3\xB6rg registered.");
}

TEST_F(RelayRoutingTest, CreatingAnEventAnswersTheOwnerAndRepeatsTheRequestToTheOthers) {
  RelayTestClient& ann = Joined("Ann");
  RelayTestClient& bo = Joined("Bo");
  auto annSession = server.colClients.Item(1);
  // Text with a name, a unit and bytes after a second 0, all repeated exactly.
  Bytes text = Text(std::string("Temp\0degC\0junk", 14));
  ann.Send(frames::EventInfoRequest(77, -3, 1000, text));
  Bytes created = WaitFrame(ann);
  ASSERT_EQ(created.size(), 12u);
  int32_t id = protocol::GetInt32(&created[8]);
  EXPECT_EQ(created, frames::EventCreated(77, id));
  EXPECT_EQ(WaitFrame(bo), frames::EventInfo(annSession->ID(), id, -3, 1000, text));
  const session::clsEvent& event = annSession->EventO(1);
  EXPECT_EQ(event.name(), "Temp");
  EXPECT_EQ(event.Unit(), "degC");
  EXPECT_EQ(event.Interval(), -3);
  EXPECT_EQ(event.Max(), 1000);

  // A name without a unit; then a request without any text, which is ignored.
  ann.Send(frames::EventInfoRequest(78, 1, 2, Text("Hum")));
  WaitFrame(ann);
  WaitFrame(bo);
  EXPECT_EQ(annSession->EventO(2).name(), "Hum");
  EXPECT_EQ(annSession->EventO(2).Unit(), "");
  ann.Send(Bytes{42, 9, 0, 4, 79, 0, 0, 0, 1, 0, 2, 0});
  Pump();
  EXPECT_EQ(ann.Unread() + bo.Unread(), 0u);
  EXPECT_EQ(annSession->EventCount(), 2);
}

TEST_F(RelayRoutingTest, EventRemoveIsRelayedOnlyForAnOwnEvent) {
  RelayTestClient& ann = Joined("Ann");
  RelayTestClient& bo = Joined("Bo");
  RelayTestClient& cy = Joined("Cy");
  int32_t temp = CreateEvent(ann, "Temp");
  bo.Send(frames::EventRemove(temp));  // not Bo's
  Pump();
  EXPECT_EQ(ann.Unread() + bo.Unread() + cy.Unread(), 0u);
  EXPECT_EQ(server.colClients.Item(1)->EventCount(), 1);
  ann.Send(frames::EventRemove(temp));
  EXPECT_EQ(WaitFrame(bo), frames::EventRemove(temp));
  EXPECT_EQ(WaitFrame(cy), frames::EventRemove(temp));
  Pump();
  EXPECT_EQ(ann.Unread(), 0u);
  EXPECT_EQ(server.colClients.Item(1)->EventCount(), 0);
}

TEST_F(RelayRoutingTest, OwnerHearsOfTheFirstSubscriberAndOfTheLastLeaving) {
  RelayTestClient& ann = Joined("Ann");
  RelayTestClient& bo = Joined("Bo");
  RelayTestClient& cy = Joined("Cy");
  int32_t temp = CreateEvent(ann, "Temp");
  auto sub = [&](RelayTestClient& c, uint8_t flag) {
    c.Send(Subscribe(temp, flag));
    Sync(c);
  };

  sub(bo, 1);  // first subscriber: the request itself goes to Ann
  EXPECT_EQ(WaitFrame(ann), Subscribe(temp, 1));
  sub(cy, 5);  // second: nothing
  sub(bo, 1);  // the same client again: count unchanged, nothing
  sub(bo, 0);  // one remains: nothing
  sub(cy, 0);  // the last leaves: Cy's request goes to Ann
  EXPECT_EQ(WaitFrame(ann), Subscribe(temp, 0));
  sub(bo, 0);  // a non-subscriber of an event without subscribers: passed on all the same
  EXPECT_EQ(WaitFrame(ann), Subscribe(temp, 0));
  sub(cy, 1);
  sub(cy, 1);  // the only subscriber subscribing again is forwarded again
  EXPECT_EQ(WaitFrame(ann), Subscribe(temp, 1));
  EXPECT_EQ(WaitFrame(ann), Subscribe(temp, 1));
  bo.Send(Subscribe(4242, 1));  // nobody owns it
  Pump();
  EXPECT_EQ(ann.Unread() + bo.Unread() + cy.Unread(), 0u);
  EXPECT_TRUE(alerts.shown.empty());
}

TEST_F(RelayRoutingTest, LongerValueAndSubscribeFramesTravelOnAsNineByteFrames) {
  RelayTestClient& ann = Joined("Ann");
  RelayTestClient& bo = Joined("Bo");
  int32_t temp = CreateEvent(ann, "Temp");
  auto longer = [](Bytes f) {
    protocol::PutInt16(&f[1], 8);
    f.push_back(0xEE);
    f.push_back(0xEE);
    return f;
  };
  bo.Send(longer(Subscribe(temp, 1)));
  EXPECT_EQ(WaitFrame(ann), Subscribe(temp, 1));
  ann.Send(longer(frames::EventData(temp, 5)));
  EXPECT_EQ(WaitFrame(bo), frames::EventData(temp, 5));
  Sync(ann);
  Sync(bo);
  EXPECT_EQ(ann.Unread() + bo.Unread(), 0u);
}

TEST_F(RelayRoutingTest, ValuesReachSubscribersOnlyLatestFirst) {
  RelayTestClient& ann = Joined("Ann");
  RelayTestClient& bo = Joined("Bo");
  RelayTestClient& cy = Joined("Cy");
  RelayTestClient& di = Joined("Di");
  int32_t temp = CreateEvent(ann, "Temp");
  bo.Send(Subscribe(temp, 1));
  WaitFrame(ann);
  di.Send(Subscribe(temp, 1));
  auto event = server.colClients.Item(1)->Events.Item(1);
  EXPECT_TRUE(PumpUntil([&] { return event->ClientCount() == 2; }));
  // The send order is latest first: Di before Bo.
  EXPECT_EQ(event->Clients.IdAt(2), server.colClients.IdAt(4));

  ann.Send(frames::EventData(temp, 42));
  EXPECT_EQ(WaitFrame(di), frames::EventData(temp, 42));
  EXPECT_EQ(WaitFrame(bo), frames::EventData(temp, 42));
  Pump();
  EXPECT_EQ(ann.Unread() + cy.Unread(), 0u);
}

// Values that follow one another on one event in an arrival travel together;
// every subscriber still gets exactly what one value at a time would give it, in
// order with the frames between them.
TEST_F(RelayRoutingTest, ARunOfValuesKeepsEveryValueAndItsPlaceAmongOtherFrames) {
  RelayTestClient& ann = Joined("Ann");
  RelayTestClient& bo = Joined("Bo");
  RelayTestClient& cy = Joined("Cy");
  int32_t temp = CreateEvent(ann, "Temp");
  int32_t hum = CreateEvent(ann, "Hum");
  bo.Send(Subscribe(temp, 1));
  EXPECT_EQ(WaitFrame(ann), Subscribe(temp, 1));
  cy.Send(Subscribe(temp, 1));
  cy.Send(Subscribe(hum, 1));
  EXPECT_EQ(WaitFrame(ann), Subscribe(hum, 1));
  constexpr int32_t kForeign = 999999;
  Bytes arrival;
  std::vector<Bytes> toBo, toCy;
  auto add = [&](const Bytes& f, bool bo, bool cy) {
    arrival.insert(arrival.end(), f.begin(), f.end());
    if (bo) toBo.push_back(f);
    if (cy) toCy.push_back(f);
  };
  for (int i = 0; i < 20; ++i) add(frames::EventData(temp, static_cast<uint8_t>(i)), true, true);
  add(frames::EventData(hum, 7), false, true);
  for (int i = 20; i < 30; ++i) add(frames::EventData(temp, static_cast<uint8_t>(i)), true, true);
  add(frames::EventData(kForeign, 1), false, false);
  add(frames::EventData(kForeign, 2), false, false);
  add(frames::EventData(temp, 30), true, true);
  ann.Send(arrival);
  std::vector<Bytes> gotBo, gotCy;
  for (size_t i = 0; i < toBo.size(); ++i) gotBo.push_back(WaitFrame(bo));
  for (size_t i = 0; i < toCy.size(); ++i) gotCy.push_back(WaitFrame(cy));
  EXPECT_EQ(gotBo, toBo);
  EXPECT_EQ(gotCy, toCy);
  // Each value on the foreign event is answered, as one at a time.
  EXPECT_EQ(WaitFrame(ann), Subscribe(kForeign, 0));
  EXPECT_EQ(WaitFrame(ann), Subscribe(kForeign, 0));
  Pump();
  EXPECT_EQ(ann.Unread() + bo.Unread() + cy.Unread(), 0u);
}

// Several values go to the subscribers at once only behind a hand-over the batch
// has already scheduled for each of them; otherwise nothing is done.
TEST_F(RelayRoutingTest, ValuesJoinAScheduledHandOverTogetherOrNotAtAll) {
  RelayTestClient& ann = Joined("Ann");
  RelayTestClient& bo = Joined("Bo");
  RelayTestClient& cy = Joined("Cy");
  int32_t temp = CreateEvent(ann, "Temp");
  bo.Send(Subscribe(temp, 1));
  EXPECT_EQ(WaitFrame(ann), Subscribe(temp, 1));
  cy.Send(Subscribe(temp, 1));
  auto event = server.colClients.Item(1)->Events.Item(1);
  EXPECT_TRUE(PumpUntil([&] { return event->ClientCount() == 2; }));
  const Bytes first = frames::EventData(temp, 1), second = frames::EventData(temp, 2);
  Bytes run = frames::EventData(temp, 3);
  run.insert(run.end(), second.begin(), second.end());
  EXPECT_FALSE(event->BroadcastQuietly(run));
  event->Broadcast(first);
  EXPECT_TRUE(event->BroadcastQuietly(run));
  for (RelayTestClient* c : {&bo, &cy}) {
    EXPECT_EQ(WaitFrame(*c), first);
    EXPECT_EQ(WaitFrame(*c), frames::EventData(temp, 3));
    EXPECT_EQ(WaitFrame(*c), second);
  }
  Pump();
  EXPECT_EQ(ann.Unread() + bo.Unread() + cy.Unread(), 0u);
}

TEST_F(RelayRoutingTest, PublishingOnAForeignEventTellsThePublisherNobodyListens) {
  RelayTestClient& ann = Joined("Ann");
  RelayTestClient& bo = Joined("Bo");
  int32_t temp = CreateEvent(ann, "Temp");
  ann.Send(Subscribe(temp, 1));  // Ann listens to her own event
  EXPECT_EQ(WaitFrame(ann), Subscribe(temp, 1));
  bo.Send(frames::EventData(temp, 9));
  EXPECT_EQ(WaitFrame(bo), Subscribe(temp, 0));
  Pump();
  EXPECT_EQ(ann.Unread(), 0u);
}

}  // namespace
}  // namespace toruna::server::testing
