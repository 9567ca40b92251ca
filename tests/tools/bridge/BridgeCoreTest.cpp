// The bridge's rules between a roster fed as the server's frames and a fake
// broker: which topics carry what and in which order, and the life of a Home
// Assistant entity across owners that leave, a server that restarts, events
// that are removed for good, and what an earlier run left retained.

#include "BridgeCore.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "FakePort.h"
#include "client/WireText.h"

namespace toruna::bridge {
namespace {

using Bytes = std::vector<uint8_t>;
using Lines = std::vector<std::string>;
namespace frames = protocol::frames;
using client::WireText;

BridgeOptions Options(bool homeAssistant) {
  BridgeOptions o;
  o.homeAssistant = homeAssistant;
  o.retainValues = homeAssistant;
  return o;
}

// One connection to the server, wired to the core as ServerBridge wires it.
struct Relay {
  std::vector<Bytes> sent;
  client::ClientProtocol p{[this](const Bytes& f) { sent.push_back(f); }};
  Relay(BridgeCore& core, const std::string& server, const std::vector<std::pair<int32_t, std::string>>& clients,
        const std::vector<Bytes>& events) {
    p.OnRegistered = [&core](const std::string&) { core.Registered(); };
    p.OnEventAdded = [&core](const client::EventEntry& e) { core.EventAdded(e); };
    p.OnEventRemoved = [&core](const client::EventEntry& e) { core.EventRemoved(e); };
    p.OnClientLeft = [&core](const client::ClientEntry&, const std::vector<client::EventEntry>& e) {
      core.ClientLeft(e);
    };
    p.OnValue = [&core](const client::Value& v) { core.ValueArrived(v, {}); };
    p.OnEventReady = [&core](const client::OwnEvent& e) { core.OwnReady(e); };
    p.OnSubscribers = [&core](const client::OwnEvent& e) { core.OwnSubscribers(e); };
    core.Attach(&p);
    p.Start("bridge");
    for (const auto& [id, name] : clients) Feed(frames::ClientInfo(id, WireText::ToWire(name)));
    for (const Bytes& e : events) Feed(e);
    Feed(frames::ServerInfo(WireText::ToWire(server)));
  }
  void Feed(const Bytes& f) { p.OnFrame(protocol::FrameView(f)); }
};

Bytes Event(int32_t owner, int32_t id, const std::string& name, const std::string& unit = "",
            int16_t interval = 0) {
  return frames::EventInfo(owner, id, interval, 255, WireText::EventToWire(name, unit));
}

struct Rig {
  BridgeOptions options;
  FakePort port;
  Lines said;
  BridgeCore core;
  BridgeCore::Clock::time_point t0 = BridgeCore::Clock::now();
  explicit Rig(BridgeOptions o) : options(std::move(o)), core(options, port, [this](const std::string& s) { said.push_back(s); }) {
    core.Tick(t0);
  }
  void Up() {
    port.up = true;
    core.BrokerConnected();
  }
  void ConfirmAll() {
    for (size_t i = 0; i < port.sent.size(); ++i) core.Confirmed(port.sent[i].ticket);
  }
  // What was published on topics containing `part`, in order, from `from` on.
  Lines On(const std::string& part, size_t from = 0) const {
    Lines out;
    for (size_t i = from; i < port.sent.size(); ++i) {
      if (port.sent[i].topic.find(part) != std::string::npos) out.push_back(port.sent[i].topic + " " + port.sent[i].payload);
    }
    return out;
  }
  std::string Config(const std::string& client, const std::string& event) const {
    const TopicNames topics("toruna", "Lab");
    return HomeAssistant("homeassistant", "Lab", topics).ConfigTopic(client, event, false);
  }
  // Empty configs published from `from` on.
  size_t Cleared(size_t from = 0) const {
    return static_cast<size_t>(std::count_if(port.sent.begin() + static_cast<long>(from), port.sent.end(),
                                             [](const FakePort::Sent& s) {
                                               return s.topic.starts_with("homeassistant/") && s.payload.empty();
                                             }));
  }
};

TEST(BridgeCoreTest, TheRosterIsDescribedBeforeItsValuesAndOnlyTheEventsThePatternsSelect) {
  BridgeOptions o = Options(false);
  o.patterns = {"Kitchen/*", "Hall/Door"};
  Rig r(o);
  Relay relay(r.core, "Lab 3", {{2, "Kitchen"}, {4, "Hall"}}, {Event(2, 3, "Temp.1", "°C", 1000), Event(4, 5, "Other")});
  EXPECT_EQ(r.core.ServerName(), "Lab 3");
  relay.Feed(frames::EventData(3, 21));  // the broker is not there yet: it waits
  r.Up();
  EXPECT_EQ(r.port.filters, (Lines{"toruna/Lab 3/+/+/meta"}));
  EXPECT_EQ(r.port.Lines(),
            (Lines{"toruna/Lab 3/Kitchen/Temp.1/meta "
                   R"({"id":3,"name":"Temp.1","unit":"°C","interval":1000,"max":255,"owner":"Kitchen","owner_id":2})",
                   "toruna/Lab 3/status online", "toruna/Lab 3/Kitchen/Temp.1 21"}));
  relay.Feed(Event(4, 6, "Door"));
  relay.Feed(frames::EventData(6, 1));
  relay.Feed(frames::EventData(5, 9));  // not selected
  EXPECT_EQ(r.On("Hall"), (Lines{R"(toruna/Lab 3/Hall/Door/meta {"id":6,"name":"Door","unit":"","interval":0,"max":255,"owner":"Hall","owner_id":4})",
                                 "toruna/Lab 3/Hall/Door 1"}));
  // Both are subscribed to on the server; the other is not.
  EXPECT_TRUE(relay.p.IsSubscribed(3));
  EXPECT_TRUE(relay.p.IsSubscribed(6));
  EXPECT_FALSE(relay.p.IsSubscribed(5));

  // Without Home Assistant an event that goes takes its meta with it.
  relay.Feed(frames::ClientGone(4));
  EXPECT_EQ(r.On("Hall").back(), "toruna/Lab 3/Hall/Door/meta ");
  EXPECT_TRUE(r.On("available").empty());
}

TEST(BridgeCoreTest, NatsTopicsEscapeBlanksAndDots) {
  BridgeOptions o = Options(false);
  o.profile = BrokerProfile::Nats;
  Rig r(o);
  Relay relay(r.core, "Lab 3", {{2, "Sensor.1"}, {4, "Living Room"}}, {Event(2, 3, "T"), Event(4, 5, "T")});
  r.Up();
  relay.Feed(frames::EventData(3, 1));
  relay.Feed(frames::EventData(5, 2));
  const Lines all = r.port.Lines();
  EXPECT_EQ(Lines(all.end() - 2, all.end()), (Lines{"toruna/Lab%203/Sensor%2E1/T 1", "toruna/Lab%203/Living%20Room/T 2"}));
  EXPECT_EQ(r.port.filters.front(), "toruna/Lab%203/+/+/meta");
}

TEST(BridgeCoreTest, AnEntityStaysUnavailableWhenItsOwnerLeavesOrTheServerRestarts) {
  Rig r(Options(true));
  auto relay = std::make_unique<Relay>(r.core, "Lab", std::vector<std::pair<int32_t, std::string>>{{2, "Kitchen"}},
                                       std::vector<Bytes>{Event(2, 3, "Temp", "°C")});
  r.Up();
  const std::string config = r.Config("Kitchen", "Temp");
  const Lines first = r.On("emp");  // Temp, and temp in the config's topic
  ASSERT_EQ(first.size(), 3u);
  EXPECT_TRUE(first[0].starts_with("toruna/Lab/Kitchen/Temp/meta {"));
  EXPECT_TRUE(first[1].starts_with(config + " {"));
  EXPECT_EQ(first[2], "toruna/Lab/Kitchen/Temp/available online");
  // The server's own device comes first, so that each client's can name it.
  EXPECT_TRUE(r.port.sent.front().topic.starts_with("homeassistant/binary_sensor/toruna_lab/"));
  relay->Feed(frames::EventData(3, 20));
  EXPECT_TRUE(r.port.sent.back().retain);  // retained with Home Assistant

  // The owner leaves: unavailable, the config stays.
  size_t mark = r.port.sent.size();
  relay->Feed(frames::ClientGone(2));
  EXPECT_EQ(r.On("Temp", mark), (Lines{"toruna/Lab/Kitchen/Temp/meta ", "toruna/Lab/Kitchen/Temp/available offline"}));
  relay->Feed(Bytes(frames::ClientInfo(7, WireText::ToWire("Kitchen"))));
  relay->Feed(Event(7, 8, "Temp", "°C"));
  EXPECT_EQ(r.On("available", mark).back(), "toruna/Lab/Kitchen/Temp/available online");

  // The server restarts, and the bridge is back before the owner.
  mark = r.port.sent.size();
  r.core.RelayEnded();
  relay.reset();
  EXPECT_EQ(r.On("status", mark), (Lines{"toruna/Lab/status offline"}));
  relay = std::make_unique<Relay>(r.core, "Lab", std::vector<std::pair<int32_t, std::string>>{}, std::vector<Bytes>{});
  EXPECT_EQ(r.On("available", mark), (Lines{"toruna/Lab/Kitchen/Temp/available offline"}));
  relay->Feed(frames::ClientInfo(9, WireText::ToWire("Kitchen")));
  relay->Feed(Event(9, 10, "Temp", "°C"));
  EXPECT_EQ(r.On("available", mark).back(), "toruna/Lab/Kitchen/Temp/available online");
  EXPECT_EQ(r.On("status", mark).back(), "toruna/Lab/status online");
  EXPECT_EQ(r.Cleared(), 0u);
  r.core.Tick(r.t0 + std::chrono::hours(1));
  EXPECT_EQ(r.Cleared(), 0u);
}

TEST(BridgeCoreTest, AConfigIsClearedOnlyForAnEventRemovedForGoodOrForgotten) {
  Rig r(Options(true));
  Relay relay(r.core, "Lab", {{2, "Kitchen"}, {4, "Hall"}}, {Event(2, 3, "Temp"), Event(2, 5, "Fan"), Event(4, 6, "Door")});
  r.Up();
  const size_t mark = r.port.sent.size();

  // Removed and created again within the grace: kept.
  relay.Feed(frames::EventRemove(3));
  r.core.Tick(r.t0 + std::chrono::minutes(5));
  relay.Feed(Event(2, 7, "Temp"));
  r.core.Tick(r.t0 + std::chrono::minutes(20));
  EXPECT_EQ(r.Cleared(mark), 0u);

  // Removed for good: cleared once the grace is over, with its availability and value.
  relay.Feed(frames::EventRemove(5));
  r.core.Tick(r.t0 + std::chrono::minutes(29));
  EXPECT_EQ(r.Cleared(mark), 0u);
  r.core.Tick(r.t0 + std::chrono::minutes(31));
  EXPECT_EQ(r.On("Fan", mark), (Lines{"toruna/Lab/Kitchen/Fan/meta ", "toruna/Lab/Kitchen/Fan/available offline",
                                      "toruna/Lab/Kitchen/Fan/available ", "toruna/Lab/Kitchen/Fan "}));
  EXPECT_EQ(r.On(r.Config("Kitchen", "Fan"), mark), (Lines{r.Config("Kitchen", "Fan") + " "}));
  EXPECT_EQ(r.said.back(), "removed Kitchen/Fan from Home Assistant: its owner removed it and has not created it again");

  // Forgotten on command: only events that are not there now; a retained command is not one.
  relay.Feed(frames::ClientGone(4));
  const size_t before = r.Cleared();
  r.core.BrokerMessage("toruna/Lab/forget", "*", true);
  EXPECT_EQ(r.Cleared(), before);
  r.core.BrokerMessage("toruna/Lab/forget", "Hall/*", false);
  EXPECT_EQ(r.Cleared(), before + 1);
  EXPECT_EQ(r.said.back(), "forgot 1 absent event matching 'Hall/*'");
  r.core.BrokerMessage("toruna/Lab/forget", "", false);
  EXPECT_EQ(r.said.back(), "forgot 0 absent events matching '*'");
  for (const std::string& line : r.On(r.Config("Kitchen", "Temp"))) EXPECT_NE(line.back(), ' ');  // never cleared
}

TEST(BridgeCoreTest, WhatAnEarlierRunLeftIsSettledOnceTheRosterIsKnown) {
  Rig r(Options(true));
  r.port.up = true;
  Relay relay(r.core, "Lab", {{2, "Kitchen"}}, {Event(2, 3, "Temp")});
  r.core.BrokerConnected();
  const size_t mark = r.port.sent.size();
  // Retained by a bridge that was killed: an event that has gone since, and one that is there.
  r.core.BrokerMessage("toruna/Lab/Gone/Away/meta", R"({"id":1})", true);
  r.core.BrokerMessage("toruna/Lab/Gone/Away/available", "online", true);
  r.core.BrokerMessage("toruna/Lab/Kitchen/Temp/meta", R"({"id":3})", true);
  r.core.BrokerMessage("toruna/Lab/Old/Entity/available", "offline", true);
  EXPECT_EQ(r.On("/", mark), (Lines{"toruna/Lab/Gone/Away/meta ", "toruna/Lab/Gone/Away/available offline"}));
  EXPECT_EQ(r.Cleared(), 0u);
  // Both absent ones are known now, and can be forgotten.
  r.core.BrokerMessage("toruna/Lab/forget", "*", false);
  EXPECT_EQ(r.said.back(), "forgot 2 absent events matching '*'");
}

TEST(BridgeCoreTest, TheBridgesOwnEventsAreDescribedBeforeTheirFirstValueAndRetainedSetsAreIgnored) {
  BridgeOptions o = Options(true);
  o.acceptSet = true;
  o.ownEvents = {"Lamp"};
  Rig r(o);
  Relay relay(r.core, "Lab", {}, {});
  r.Up();
  // Created at start, on the server and as a number in Home Assistant, before any value.
  const auto& own = relay.p.OwnEvents();
  ASSERT_EQ(own.size(), 1u);
  const int32_t handle = own.begin()->first;
  r.core.BrokerMessage("toruna/Lab/bridge/Lamp/set", "5", false);
  EXPECT_TRUE(r.On("Lamp").empty());  // not described yet: the value waits
  relay.Feed(frames::EventCreated(handle, 12));
  const Lines lamp = r.On("amp");  // Lamp, and lamp in the config's topic
  ASSERT_EQ(lamp.size(), 4u);
  EXPECT_EQ(lamp[0], R"(toruna/Lab/bridge/Lamp/meta {"id":12,"name":"Lamp","unit":"","interval":0,"max":255,"owner":"bridge","owner_id":null})");
  EXPECT_TRUE(lamp[1].starts_with("homeassistant/number/toruna_lab/toruna_lab_bridge_lamp_"));
  EXPECT_EQ(lamp[2], "toruna/Lab/bridge/Lamp/available online");
  EXPECT_EQ(lamp[3], "toruna/Lab/bridge/Lamp 5");
  EXPECT_NE(std::find(r.port.filters.begin(), r.port.filters.end(), "toruna/Lab/bridge/+/set"), r.port.filters.end());

  r.core.BrokerMessage("toruna/Lab/bridge/Lamp/set", "9", true);
  EXPECT_EQ(r.said.back(), "ignored the retained value on toruna/Lab/bridge/Lamp/set (--accept-retained-set takes it)");
  r.core.BrokerMessage("toruna/Lab/bridge/Lamp/set", "6", false);
  EXPECT_EQ(r.On("Lamp").back(), "toruna/Lab/bridge/Lamp 6");
  EXPECT_EQ(r.core.Own().Held("Lamp"), 2u);  // nobody listens on the server yet
}

}  // namespace
}  // namespace toruna::bridge
