// ClientProtocol driven by the frames a server sends: the roster, pattern
// subscriptions (also of events created later), what is asked before the
// registration, own events and whether they have subscribers.

#include "client/ClientProtocol.h"

#include <gtest/gtest.h>

#include "client/WireText.h"

namespace toruna::client {
namespace {

using Bytes = std::vector<uint8_t>;
namespace frames = protocol::frames;

struct Rig {
  std::vector<Bytes> sent;
  ClientProtocol p{[this](const Bytes& f) { sent.push_back(f); }};

  void Feed(const Bytes& f) { p.OnFrame(protocol::FrameView(f)); }
  void Client(int32_t id, const std::string& name) {
    Feed(frames::ClientInfo(id, WireText::ToWire(name)));
  }
  void Event(int32_t owner, int32_t id, const std::string& name, const std::string& unit = "") {
    Feed(frames::EventInfo(owner, id, 0, 255, WireText::EventToWire(name, unit)));
  }
  void Server(const std::string& name) { Feed(frames::ServerInfo(WireText::ToWire(name))); }
  // Started, with Ann (1: Temp 2) and Bo (3: Flow 4) registered before.
  void Registered() {
    p.Start("Me");
    Client(1, "Ann");
    Event(1, 2, "Temp", "°C");
    Client(3, "Bo");
    Event(3, 4, "Flow");
    Server("Lab");
    sent.clear();
  }
};

Bytes Sub(int32_t id) { return frames::EventSubscribe(id, 1); }
Bytes Unsub(int32_t id) { return frames::EventSubscribe(id, 0); }

TEST(ClientProtocol, RosterReportsClientsEventsAndDeparturesWithTheirEvents) {
  Rig r;
  std::vector<std::string> seen;
  r.p.OnClientJoined = [&](const ClientEntry& c) {
    seen.push_back((r.p.Registered() ? "joined " : "client ") + c.name);
  };
  r.p.OnEventAdded = [&](const EventEntry& e) { seen.push_back("event " + r.p.PathOf(e)); };
  r.p.OnRegistered = [&](const std::string& name) { seen.push_back("server " + name); };
  r.p.OnClientLeft = [&](const ClientEntry& c, const std::vector<EventEntry>& events) {
    std::string line = "left " + c.name;
    for (const EventEntry& e : events) line += " " + e.name;
    seen.push_back(line);
  };
  r.p.OnEventRemoved = [&](const EventEntry& e) { seen.push_back("removed " + e.name); };
  r.Registered();
  r.Client(5, "Cy");
  r.Event(5, 6, "Speed", "km/h");
  r.Event(5, 7, "Other");
  r.Server("Lab again");  // not a second registration
  r.Feed(frames::EventRemove(7));
  r.Feed(frames::ClientGone(5));
  r.Feed(frames::ClientGone(45));  // never announced
  EXPECT_EQ(seen, (std::vector<std::string>{"client Ann", "event Ann/Temp", "client Bo",
                                            "event Bo/Flow", "server Lab", "joined Cy",
                                            "event Cy/Speed", "event Cy/Other", "removed Other",
                                            "left Cy Speed", "left #45"}));
  EXPECT_EQ(r.p.ServerName(), "Lab again");
  EXPECT_EQ(r.p.State().Clients().size(), 2u);
  EXPECT_EQ(r.p.State().Events().size(), 2u);
  EXPECT_TRUE(r.sent.empty());  // a watcher without subscriptions only listens
}

TEST(ClientProtocol, PatternsTakeKnownAndLaterEventsAndLetGoOnlyWhatNothingElseWants) {
  Rig r;
  std::vector<int32_t> reported;
  r.p.OnSubscribed = [&](const EventEntry& e) { reported.push_back(e.id); };
  r.Registered();
  r.p.Subscribe(std::string("*/Temp"));  // known: Ann/Temp
  r.p.Subscribe(std::string("Bo/*"));    // known: Bo/Flow
  r.p.Subscribe(4);                      // Bo/Flow by ID as well: nothing more to send
  EXPECT_EQ(r.sent, (std::vector<Bytes>{Sub(2), Sub(4)}));
  r.sent.clear();

  r.Client(5, "Cy");
  r.Event(5, 6, "Temp");   // created later, and matching
  r.Event(5, 7, "Other");  // not matching
  EXPECT_EQ(r.sent, (std::vector<Bytes>{Sub(6)}));
  EXPECT_EQ(reported, (std::vector<int32_t>{2, 4, 6}));
  r.sent.clear();

  r.p.Unsubscribe(std::string("*/Temp"));
  EXPECT_EQ(r.sent, (std::vector<Bytes>{Unsub(2), Unsub(6)}));
  r.sent.clear();
  r.p.Unsubscribe(std::string("Bo/*"));  // Bo/Flow is still wanted by its ID
  r.p.Unsubscribe(std::string("never added"));
  EXPECT_TRUE(r.sent.empty());
  r.p.Unsubscribe(4);
  EXPECT_EQ(r.sent, (std::vector<Bytes>{Unsub(4)}));
  EXPECT_TRUE(r.p.Subscriptions().empty());

  // A pattern taken back no longer picks up new events.
  r.sent.clear();
  r.Event(5, 8, "Temp");
  EXPECT_TRUE(r.sent.empty());
}

TEST(ClientProtocol, WhatIsAskedBeforeRegistrationGoesOutWithIt) {
  Rig r;
  r.p.Subscribe(std::string("*"));
  r.p.Subscribe(12);
  const int32_t handle = r.p.CreateEvent("Level", "l", 5, 100);
  const int32_t dropped = r.p.CreateEvent("Dropped");
  EXPECT_TRUE(r.p.RemoveEvent(dropped));  // never asked for, so never sent
  EXPECT_TRUE(r.sent.empty());
  r.p.Start("Zoë");
  ASSERT_EQ(r.sent.size(), 3u);
  EXPECT_EQ(r.sent[0], (Bytes{42, 4, 0, 2, 'Z', 'o', 0xEB}));
  EXPECT_EQ(r.sent[1], frames::EventInfoRequest(handle, 5, 100, Bytes{'L', 'e', 'v', 'e', 'l', 0, 'l'}));
  EXPECT_EQ(r.sent[2], Sub(12));
  r.sent.clear();
  // The pattern takes the roster as it arrives.
  r.Client(1, "Ann");
  r.Event(1, 2, "Temp");
  EXPECT_EQ(r.sent, (std::vector<Bytes>{Sub(2)}));
  // Events that go are forgotten with their subscriptions.
  r.Feed(frames::EventRemove(12));
  r.Feed(frames::ClientGone(1));
  EXPECT_TRUE(r.p.Subscriptions().empty());
}

TEST(ClientProtocol, SubscriberPresenceIsReportedOnlyWhenItChanges) {
  Rig r;
  const int32_t handle = r.p.CreateEvent("Temp", "°C");
  r.Registered();
  std::vector<std::string> seen;
  r.p.OnEventReady = [&](const OwnEvent& e) { seen.push_back("ready " + std::to_string(e.id)); };
  r.p.OnSubscribers = [&](const OwnEvent& e) { seen.push_back(e.hasSubscribers ? "yes" : "no"); };
  r.Feed(frames::EventCreated(handle, 9));
  EXPECT_EQ(r.p.FindOwnEvent(handle)->id, 9);
  EXPECT_FALSE(r.p.HasSubscribers(handle));
  r.Feed(Unsub(9));  // the server may repeat "nobody"
  r.Feed(Sub(9));    // the first subscriber's request, forwarded
  r.Feed(Sub(9));    // the same client asking again
  EXPECT_TRUE(r.p.HasSubscribers(handle));
  r.Feed(Sub(8));    // not ours
  r.Feed(Unsub(9));  // the last one left
  r.Feed(Unsub(9));
  EXPECT_EQ(seen, (std::vector<std::string>{"ready 9", "yes", "no"}));
  EXPECT_FALSE(r.p.HasSubscribers(handle));
  EXPECT_FALSE(r.p.HasSubscribers(handle + 100));
}

TEST(ClientProtocol, OwnEventsArePublishedOnceCreatedAndRemovedEvenWhileBeingCreated) {
  Rig r;
  r.Registered();
  const int32_t temp = r.p.CreateEvent("Temp");
  r.sent.clear();
  EXPECT_FALSE(r.p.Publish(temp, 1));  // the server has not created it yet
  EXPECT_TRUE(r.sent.empty());
  r.Feed(frames::EventCreated(temp + 50, 9));  // an answer to somebody else
  EXPECT_FALSE(r.p.Publish(temp, 1));
  r.Feed(frames::EventCreated(temp, 9));
  EXPECT_TRUE(r.p.Publish(temp, 200));
  EXPECT_TRUE(r.p.RemoveEvent(temp));
  EXPECT_FALSE(r.p.Publish(temp, 3));
  EXPECT_FALSE(r.p.RemoveEvent(temp));
  EXPECT_EQ(r.sent, (std::vector<Bytes>{frames::EventData(9, 200), frames::EventRemove(9)}));

  // Removed while the server creates it: removed as soon as it exists.
  int ready = 0;
  r.p.OnEventReady = [&](const OwnEvent&) { ++ready; };
  const int32_t flow = r.p.CreateEvent("Flow");
  EXPECT_TRUE(r.p.RemoveEvent(flow));
  r.sent.clear();
  r.Feed(frames::EventCreated(flow, 11));
  EXPECT_EQ(r.sent, (std::vector<Bytes>{frames::EventRemove(11)}));
  EXPECT_EQ(ready, 0);
  EXPECT_TRUE(r.p.OwnEvents().empty());

  // Text that cannot be sent is refused before anything goes out.
  r.sent.clear();
  EXPECT_THROW(r.p.CreateEvent("温度"), TextError);
  EXPECT_THROW(r.p.CreateEvent("Temp", "°\xC3"), TextError);
  EXPECT_TRUE(r.sent.empty());
}

TEST(ClientProtocol, ValuesCarryTheirEventAndOwner) {
  Rig r;
  const int32_t own = r.p.CreateEvent("Mine", "%");
  r.Registered();
  r.Feed(frames::EventCreated(own, 20));
  std::vector<Value> values;
  r.p.OnValue = [&](const Value& v) { values.push_back(v); };
  r.Feed(frames::EventData(2, 21));
  r.Feed(frames::EventData(44, 3));  // an event nobody announced
  r.Feed(frames::EventData(20, 99));  // subscribed to an own event
  ASSERT_EQ(values.size(), 3u);
  EXPECT_EQ(values[0].client, "Ann");
  EXPECT_EQ(values[0].event.name, "Temp");
  EXPECT_EQ(values[0].event.unit, "°C");
  EXPECT_EQ(values[0].value, 21);
  EXPECT_EQ(values[1].event.id, 44);
  EXPECT_EQ(values[1].event.owner, 0);
  EXPECT_EQ(values[1].client, "");
  EXPECT_EQ(values[2].client, "Me");
  EXPECT_EQ(values[2].event.name, "Mine");
  EXPECT_EQ(values[2].event.unit, "%");
}

}  // namespace
}  // namespace toruna::client
