// watch fed with a server's byte stream: the roster, live changes, values of
// subscribed events, frames it does not know, and any split of the bytes.

#include "WatchCommand.h"

#include <gtest/gtest.h>

#include <random>
#include <sstream>

#include "client/FrameStream.h"
#include "client/WireText.h"
#include "protocol/Frame.h"

namespace toruna::cli {
namespace {

using Bytes = std::vector<uint8_t>;
namespace frames = protocol::frames;

void Append(Bytes& to, const Bytes& frame) { to.insert(to.end(), frame.begin(), frame.end()); }

// What a server sends a watcher: two clients (one with an event), the end of
// the roster, then a newcomer, events, values, removals and departures.
Bytes ServerStream() {
  Bytes s;
  Append(s, frames::ClientInfo(1, client::WireText::ToWire("Ann")));
  Append(s, frames::EventInfo(1, 2, 10, 100, client::WireText::EventToWire("Temp", "°C")));
  Append(s, frames::ClientInfo(3, client::WireText::ToWire("Bö")));
  Append(s, frames::ServerInfo(client::WireText::ToWire("Lab")));
  Append(s, frames::EventData(2, 21));
  Append(s, Bytes{42, 0, 0});                  // length 0: nothing
  Append(s, Bytes{42, 3, 0, 99, 1, 2});        // a type nobody knows
  Append(s, Bytes{42, 2, 0, 1, 5});            // EventData too short to read
  Append(s, frames::EventSubscribe(2, 0));     // only owners get these
  Append(s, frames::EventCreated(1, 9));       // only creators get these
  Append(s, frames::ClientInfo(5, client::WireText::ToWire("Cy")));
  Append(s, frames::EventInfo(5, 6, 1, 255, client::WireText::EventToWire("Speed", "km/h")));
  Append(s, frames::EventInfo(5, 7, 0, 0, client::WireText::EventToWire("Other", "")));
  Append(s, frames::EventData(6, 200));
  Append(s, frames::EventData(2, 22));
  Append(s, frames::EventRemove(2));
  Append(s, frames::ClientGone(5));
  Append(s, frames::ClientGone(3));
  return s;
}

// A registered watcher: what it sends from now on is in `sent`.
struct Watcher {
  std::ostringstream out, err;
  Output output{out, err, false};
  std::vector<Bytes> sent;
  client::ClientProtocol protocol{[this](const Bytes& f) { sent.push_back(f); }};
  WatchCommand cmd;
  client::FrameStream stream{[this](const protocol::FrameView& f) { protocol.OnFrame(f); }};

  explicit Watcher(std::vector<std::string> patterns, bool json = false,
                   std::optional<uint32_t> count = std::nullopt)
      : output(out, err, json),
        cmd(WatchOptions{"h", std::nullopt, std::move(patterns), count, std::nullopt}, output,
            protocol) {
    output.SetClock([] { return std::chrono::system_clock::time_point(std::chrono::hours(1)); });
    protocol.Start("Watcher");
    sent.clear();
  }
};

std::string WatchWithChunks(const Bytes& stream, const std::vector<size_t>& cuts) {
  Watcher w({"*/Temp", "Cy/S*"});
  size_t from = 0;
  for (size_t cut : cuts) {
    EXPECT_TRUE(w.stream.Feed(std::span<const uint8_t>(stream).subspan(from, cut - from)));
    from = cut;
  }
  EXPECT_TRUE(w.stream.Feed(std::span<const uint8_t>(stream).subspan(from)));
  return w.out.str();
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string l; std::getline(in, l);) lines.push_back(l);
  return lines;
}

TEST(WatchCommand, PrintsRosterChangesAndSubscribedValues) {
  Watcher w({"*/Temp", "Cy/S*"});
  const Bytes s = ServerStream();
  ASSERT_TRUE(w.stream.Feed(s));
  const std::string ts = w.output.TimeStamp();
  const std::vector<std::string> expected = {
      "client 1 Ann",
      "event 2 Ann/Temp unit=°C interval=10 max=100",
      "subscribed 2 Ann/Temp",
      "client 3 Bö",
      "server Lab (2 other clients)",
      ts + " Ann/Temp 21 °C",
      "joined 5 Cy",
      "created 6 Cy/Speed unit=km/h interval=1 max=255",
      "subscribed 6 Cy/Speed",
      "created 7 Cy/Other interval=0 max=0",
      ts + " Cy/Speed 200 km/h",
      ts + " Ann/Temp 22 °C",
      "removed 2 Ann/Temp",
      "left 5 Cy",
      "left 3 Bö",
  };
  EXPECT_EQ(Lines(w.out.str()), expected);
  // Exactly one subscribe request per matching event, flag 1.
  ASSERT_EQ(w.sent.size(), 2u);
  EXPECT_EQ(w.sent[0], frames::EventSubscribe(2, 1));
  EXPECT_EQ(w.sent[1], frames::EventSubscribe(6, 1));
  // The roster followed the changes: only Ann is left, without events.
  ASSERT_EQ(w.protocol.State().Clients().size(), 1u);
  EXPECT_EQ(w.protocol.State().Clients().begin()->second.name, "Ann");
  EXPECT_TRUE(w.protocol.State().Events().empty());
  EXPECT_TRUE(w.protocol.Subscriptions().empty());
}

TEST(WatchCommand, AnySplitOfTheStreamGivesTheSameOutput) {
  const Bytes s = ServerStream();
  const std::string whole = WatchWithChunks(s, {});
  ASSERT_FALSE(whole.empty());
  for (size_t cut = 1; cut < s.size(); ++cut) {
    ASSERT_EQ(WatchWithChunks(s, {cut}), whole) << "split at " << cut;
  }
  std::vector<size_t> everyByte;
  for (size_t i = 1; i < s.size(); ++i) everyByte.push_back(i);
  EXPECT_EQ(WatchWithChunks(s, everyByte), whole);
  std::mt19937 rng(42);
  for (int round = 0; round < 50; ++round) {
    std::vector<size_t> cuts;
    for (size_t at = 0;;) {
      at += 1 + rng() % 7;
      if (at >= s.size()) break;
      cuts.push_back(at);
    }
    ASSERT_EQ(WatchWithChunks(s, cuts), whole) << "round " << round;
  }
}

TEST(WatchCommand, JsonLinesCarryNamesUnitsAndValues) {
  Watcher w({"*"}, /*json=*/true);
  Bytes s;
  Append(s, frames::ClientInfo(1, client::WireText::ToWire("Ann \"A\"")));
  Append(s, frames::EventInfo(1, 2, 10, -1, client::WireText::EventToWire("Temp", "°C")));
  Append(s, frames::ServerInfo(client::WireText::ToWire("Lab")));
  Append(s, frames::EventData(2, 255));
  Append(s, frames::ClientGone(1));
  ASSERT_TRUE(w.stream.Feed(s));
  const std::string ts = w.output.TimeStamp();
  const std::vector<std::string> expected = {
      R"({"type":"client","id":1,"name":"Ann \"A\""})",
      R"({"type":"event","id":2,"owner":1,"client":"Ann \"A\"","event":"Temp","unit":"°C","interval":10,"max":-1})",
      R"({"type":"subscribed","id":2,"client":"Ann \"A\"","event":"Temp"})",
      R"({"type":"server","name":"Lab","clients":1,"events":1})",
      R"({"type":"value","time":")" + ts +
          R"(","id":2,"client":"Ann \"A\"","event":"Temp","value":255,"unit":"°C"})",
      R"({"type":"client_gone","id":1,"name":"Ann \"A\"","events":1})",
  };
  EXPECT_EQ(Lines(w.out.str()), expected);
}

TEST(WatchCommand, WithoutPatternsItSubscribesToNothing) {
  Watcher w({});
  ASSERT_TRUE(w.stream.Feed(frames::EventInfo(1, 2, 0, 0, client::WireText::ToWire("E"))));
  EXPECT_TRUE(w.sent.empty());
}

TEST(WatchCommand, ValuesOfUnknownEventsAndDeparturesOfUnknownClientsStillShow) {
  Watcher w({});
  Bytes s;
  Append(s, frames::ServerInfo(client::WireText::ToWire("Lab")));
  Append(s, frames::EventData(44, 3));
  Append(s, frames::ClientGone(45));
  ASSERT_TRUE(w.stream.Feed(s));
  const auto lines = Lines(w.out.str());
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[1], w.output.TimeStamp() + " ?/#44 3");
  EXPECT_EQ(lines[2], "left 45 #45");
}

// --count: the run is told once, right after the Nth value is printed, and
// only values count, not the roster or the changes around them.
TEST(WatchCommand, CountEndsTheRunAtTheNthValue) {
  Watcher w({"*/Temp", "Cy/S*"}, false, 2u);
  std::vector<std::string> lastLineAtCall;
  w.cmd.SetOnEnough([&] { lastLineAtCall.push_back(Lines(w.out.str()).back()); });
  ASSERT_TRUE(w.stream.Feed(ServerStream()));
  // The third value came in the same read: not printed.
  EXPECT_EQ(w.cmd.Values(), 2u);
  EXPECT_EQ(w.out.str().find("Temp 22"), std::string::npos);
  EXPECT_EQ(lastLineAtCall, std::vector<std::string>{"1970-01-01T01:00:00.000 Cy/Speed 200 km/h"});
}

}  // namespace
}  // namespace toruna::cli
