// What reaches the broker, and when: values kept in order through an outage
// within their limits, retained state that only the latest of counts, what was
// unconfirmed sent again, and a topic or QoS the broker refuses found and
// left out without holding up the rest.

#include "Outbox.h"

#include <gtest/gtest.h>

#include "FakePort.h"

namespace toruna::bridge {
namespace {

using Lines = std::vector<std::string>;

struct Rig {
  FakePort port;
  std::vector<std::string> said;
  Outbox out;
  explicit Rig(int qos = 1, OutboxLimits limits = {})
      : out(port, qos, limits, [this](const std::string& s) { said.push_back(s); }) {}
  void Up() {
    port.up = true;
    out.Connected();
  }
  // The connection breaks; abrupt: the broker closed it.
  void Down(bool abrupt) {
    port.up = false;
    out.Down(abrupt);
  }
  void ConfirmAll() {
    for (size_t i = 0; i < port.sent.size(); ++i) out.Confirmed(port.sent[i].ticket);
  }
  // Hands over on a new connection, and returns what went out on it.
  Lines Reconnect() {
    port.sent.clear();
    Up();
    return port.Lines();
  }
};

TEST(OutboxTest, ValuesWaitForTheBrokerInOrderAndTheLatestStateKeepsItsPlace) {
  Rig r;
  r.out.State("t/meta", "first");
  r.out.Value("t", "1", false);
  r.out.Value("t", "2", true);
  r.out.State("t/meta", "second");  // takes the place of the first, before the values
  r.out.State("status", "offline");
  r.out.State("status", "online");
  EXPECT_TRUE(r.port.sent.empty());
  EXPECT_EQ(r.out.WaitingValues(), 2u);

  EXPECT_EQ(r.Reconnect(), (Lines{"t/meta second", "t 1", "t 2", "status online"}));
  EXPECT_EQ(r.port.sent[0].retain, true);
  EXPECT_EQ(r.port.sent[1].retain, false);
  EXPECT_EQ(r.port.sent[2].retain, true);
  EXPECT_EQ(r.port.sent[1].qos, 1);
  r.ConfirmAll();
  EXPECT_EQ(r.said, (Lines{"delivered 2 of 2 values that waited for the broker"}));

  // Up, a value goes at once and is not counted as having waited.
  r.port.sent.clear();
  r.out.Value("t", "3", false);
  EXPECT_EQ(r.port.Lines(), (Lines{"t 3"}));
  r.ConfirmAll();
  EXPECT_EQ(r.said.size(), 1u);
}

TEST(OutboxTest, PastItsLimitsTheOldestValuesGoAndTheStateStays) {
  Rig r(1, OutboxLimits{3, 1000});
  r.out.State("t/meta", "m");
  for (const char* v : {"1", "2", "3", "4", "5"}) r.out.Value("t", v, false);
  EXPECT_EQ(r.out.WaitingValues(), 3u);
  ASSERT_EQ(r.said.size(), 1u);
  EXPECT_NE(r.said[0].find("the queue for the broker is full (3 values or 1000 bytes)"), std::string::npos);
  EXPECT_EQ(r.Reconnect(), (Lines{"t/meta m", "t 3", "t 4", "t 5"}));
  r.ConfirmAll();
  EXPECT_EQ(r.said.back(), "delivered 3 of 5 values that waited for the broker (2 dropped)");

  // The byte limit counts topics and payloads: three of "t" and "1234" fit in 15.
  Rig b(1, OutboxLimits{100, 15});
  for (const char* v : {"1111", "2222", "3333", "4444"}) b.out.Value("t", v, false);
  EXPECT_EQ(b.Reconnect(), (Lines{"t 2222", "t 3333", "t 4444"}));
}

TEST(OutboxTest, WhatTheBrokerDidNotConfirmIsSentAgainFirstAndAWindowLimitsWhatIsHandedOver) {
  Rig r;
  r.Up();
  for (int i = 0; i < 150; ++i) r.out.Value("t", std::to_string(i), false);
  EXPECT_EQ(r.port.sent.size(), Outbox::kWindow);
  EXPECT_EQ(r.out.WaitingValues(), 50u);
  for (int i = 0; i < 10; ++i) r.out.Confirmed(r.port.sent[i].ticket);
  EXPECT_EQ(r.port.sent.size(), Outbox::kWindow + 10);
  EXPECT_EQ(r.out.InFlight(), Outbox::kWindow);

  // Lost (a keepalive that lapsed): 10 to 149 go again, in order, before what came since.
  r.out.State("s", "old");  // handed over, then superseded while the broker is away
  r.Down(false);
  r.out.State("s", "new");
  r.out.Value("t", "150", false);
  const Lines again = r.Reconnect();
  ASSERT_EQ(again.size(), Outbox::kWindow);
  EXPECT_EQ(again.front(), "t 10");
  EXPECT_EQ(again.back(), "t 109");
  while (!r.port.sent.empty() && r.out.InFlight() > 0) {
    const size_t n = r.port.sent.size();
    r.ConfirmAll();
    if (r.port.sent.size() == n) break;
  }
  const Lines all = r.port.Lines();
  EXPECT_EQ(std::count(all.begin(), all.end(), "s new"), 1);
  EXPECT_EQ(std::count(all.begin(), all.end(), "s old"), 0);
  EXPECT_EQ(all.back(), "t 150");
  EXPECT_EQ(r.said.back(), "delivered 141 of 141 values that waited for the broker");
}

TEST(OutboxTest, ATopicTheBrokerClosesTheConnectionForIsTriedAloneThenLeftOut) {
  Rig r;
  r.Up();
  r.out.Value("ok", "1", false);
  r.ConfirmAll();  // the broker takes "ok"
  r.port.sent.clear();
  r.out.Value("ok", "2", false);
  r.out.Value("bad topic", "x", false);
  r.out.Value("ok", "3", false);
  r.Down(true);  // closed right after: "bad topic" is the first it never took

  // Alone, and everything else waits for its answer...
  EXPECT_EQ(r.Reconnect(), (Lines{"bad topic x"}));
  r.Down(true);  // ...which is the same.
  ASSERT_FALSE(r.said.empty());
  EXPECT_EQ(r.said.back(), "the broker closed the connection at each publication on bad topic: it refuses that "
                           "topic, and nothing more is sent there");
  EXPECT_TRUE(r.out.Refused("bad topic"));
  EXPECT_EQ(r.Reconnect(), (Lines{"ok 2", "ok 3"}));
  r.out.Value("bad topic", "y", false);
  r.out.Value("ok", "4", false);
  EXPECT_EQ(r.port.Lines().back(), "ok 4");
  EXPECT_EQ(r.port.sent.size(), 3u);
}

TEST(OutboxTest, AProbeThatPassesWasABrokerThatWentAway) {
  Rig r;
  r.Up();
  r.out.State("new/meta", "m");
  r.out.Value("new", "1", false);
  r.Down(true);  // a broker restart looks alike at first
  EXPECT_EQ(r.Reconnect(), (Lines{"new/meta m"}));
  r.out.Confirmed(r.port.sent[0].ticket);
  EXPECT_EQ(r.port.Lines(), (Lines{"new/meta m", "new 1"}));
  EXPECT_FALSE(r.out.Refused("new/meta"));
  r.ConfirmAll();
  EXPECT_EQ(r.said, (Lines{"delivered 1 of 1 values that waited for the broker"}));
}

TEST(OutboxTest, ABrokerThatRefusesQos2IsPublishedToAtQos1) {
  Rig r(2);
  r.Up();
  r.out.Value("a", "1", false);
  r.out.Value("b", "2", false);
  r.Down(true);
  EXPECT_EQ(r.Reconnect(), (Lines{"a 1"}));
  EXPECT_EQ(r.port.sent[0].qos, 2);
  r.Down(true);
  EXPECT_EQ(r.Reconnect(), (Lines{"a 1"}));
  EXPECT_EQ(r.port.sent[0].qos, 1);
  r.out.Confirmed(r.port.sent[0].ticket);
  EXPECT_EQ(r.out.Qos(), 1);
  EXPECT_EQ(r.said.front(), "the broker closes the connection at every QoS 2 publication: publishing at QoS 1 "
                            "from now on");
  EXPECT_EQ(r.port.Lines(), (Lines{"a 1", "b 2"}));
  EXPECT_EQ(r.port.sent[1].qos, 1);
  EXPECT_FALSE(r.out.Refused("a"));
}

TEST(OutboxTest, AtQos0TheSuspectIsAmongWhatWasWrittenLastAndTheProbeIsConfirmed) {
  Rig r(0);
  r.Up();
  r.out.Value("old", "1", false);
  r.ConfirmAll();  // written
  r.out.Tick();
  r.out.Tick();  // and the connection held: taken
  r.port.sent.clear();
  r.out.Value("old", "2", false);
  r.out.Value("new", "3", false);
  r.ConfirmAll();
  r.Down(true);
  EXPECT_EQ(r.Reconnect(), (Lines{"new 3"}));
  EXPECT_EQ(r.port.sent[0].qos, 1);  // a QoS 0 message gets no answer; the probe does
  r.Down(true);
  EXPECT_TRUE(r.out.Refused("new"));
  EXPECT_FALSE(r.out.Refused("old"));
}

}  // namespace
}  // namespace toruna::bridge
