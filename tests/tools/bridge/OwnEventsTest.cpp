// The bridge's own events on a client driven by the server's frames: created
// on first use, values held until somebody listens and then sent in order,
// the held ones bounded, every event created again on a new connection.

#include "OwnEvents.h"

#include <gtest/gtest.h>

#include "client/WireText.h"

namespace toruna::bridge {
namespace {

using Bytes = std::vector<uint8_t>;
namespace frames = protocol::frames;

// The values sent for an event, in order.
std::vector<int> Values(const std::vector<Bytes>& sent, int32_t id) {
  std::vector<int> v;
  for (const Bytes& f : sent) {
    const protocol::FrameView view(f);
    if (view.Type() == protocol::EventData && view.Int32At(4) == id) v.push_back(*view.ByteAt(8));
  }
  return v;
}

// A registered connection whose events the bridge's own events drive.
struct Link {
  std::vector<Bytes> sent;
  client::ClientProtocol p{[this](const Bytes& f) { sent.push_back(f); }};

  explicit Link(OwnEvents& own) {
    p.OnEventReady = [&own](const client::OwnEvent& e) { own.Changed(e); };
    p.OnSubscribers = [&own](const client::OwnEvent& e) { own.Changed(e); };
    own.Attach(&p);
    p.Start("bridge");
    Feed(frames::ServerInfo(client::WireText::ToWire("Lab")));
  }
  void Feed(const Bytes& f) { p.OnFrame(protocol::FrameView(f)); }
  std::vector<int> Values(int32_t id) const { return bridge::Values(sent, id); }
  int32_t Handle(const std::string& name) const {
    for (const auto& [h, e] : p.OwnEvents()) {
      if (e.name == name) return h;
    }
    return 0;
  }
};

struct Rig {
  std::vector<std::string> said;
  OwnEvents own{[this](const std::string& s) { said.push_back(s); }};
  Link link{own};
  std::vector<Bytes>& sent = link.sent;
  void Feed(const Bytes& f) { link.Feed(f); }
  std::vector<int> Values(int32_t id) const { return link.Values(id); }
  int32_t Handle(const std::string& name) const { return link.Handle(name); }
};

TEST(OwnEventsTest, ValuesWaitForTheEventAndASubscriberThenLeaveInOrder) {
  Rig r;
  ASSERT_TRUE(r.own.Set("Lamp", 1));
  const int32_t h = r.Handle("Lamp");
  ASSERT_NE(h, 0);
  EXPECT_EQ(r.sent.back(), frames::EventInfoRequest(h, 0, 255, client::WireText::EventToWire("Lamp", "")));
  ASSERT_TRUE(r.own.Set("Lamp", 2));
  r.Feed(frames::EventCreated(h, 7));
  ASSERT_TRUE(r.own.Set("Lamp", 3));
  EXPECT_TRUE(r.Values(7).empty());  // nobody listens yet
  EXPECT_EQ(r.own.Held("Lamp"), 3u);

  r.Feed(frames::EventSubscribe(7, 1));
  EXPECT_EQ(r.Values(7), (std::vector<int>{1, 2, 3}));
  ASSERT_TRUE(r.own.Set("Lamp", 4));
  EXPECT_EQ(r.Values(7), (std::vector<int>{1, 2, 3, 4}));

  // The last subscriber leaves: values wait again.
  r.Feed(frames::EventSubscribe(7, 0));
  ASSERT_TRUE(r.own.Set("Lamp", 5));
  EXPECT_EQ(r.Values(7).size(), 4u);
  r.Feed(frames::EventSubscribe(7, 1));
  EXPECT_EQ(r.Values(7).back(), 5);
  EXPECT_EQ(r.own.Held("Lamp"), 0u);
}

TEST(OwnEventsTest, OnlyTheLatestValuesAreHeldAndThatIsSaidOnce) {
  Rig r;
  for (size_t i = 0; i < OwnEvents::kMaxHeld + 10; ++i) ASSERT_TRUE(r.own.Set("Lamp", static_cast<uint8_t>(i)));
  EXPECT_EQ(r.own.Held("Lamp"), OwnEvents::kMaxHeld);
  EXPECT_EQ(r.said.size(), 1u);
  r.Feed(frames::EventCreated(r.Handle("Lamp"), 7));
  r.Feed(frames::EventSubscribe(7, 1));
  // Paced by the send window: the server confirms what came so far.
  for (int i = 0; i < 20; ++i) r.Feed(frames::EventSubscribe(0, 0));
  const std::vector<int> v = r.Values(7);
  ASSERT_EQ(v.size(), OwnEvents::kMaxHeld);
  EXPECT_EQ(v.front(), 10);
  EXPECT_EQ(v.back(), static_cast<int>((OwnEvents::kMaxHeld + 9) % 256));
}

TEST(OwnEventsTest, ANewConnectionCreatesEveryEventAgainAndHeldValuesFollow) {
  Rig r;
  ASSERT_TRUE(r.own.Set("Lamp", 1));
  ASSERT_TRUE(r.own.Ensure("Fan"));
  r.own.Attach(nullptr);  // the server went away
  ASSERT_TRUE(r.own.Set("Lamp", 2));

  Link next(r.own);
  EXPECT_NE(next.Handle("Lamp"), 0);
  EXPECT_NE(next.Handle("Fan"), 0);
  next.Feed(frames::EventCreated(next.Handle("Lamp"), 9));
  next.Feed(frames::EventSubscribe(9, 1));
  EXPECT_EQ(next.Values(9), (std::vector<int>{1, 2}));
  EXPECT_TRUE(r.Values(9).empty());
}

TEST(OwnEventsTest, NamesTheServerCannotTakeAndTooManyEventsAreRefused) {
  Rig r;
  EXPECT_THROW(r.own.Set("", 1), client::TextError);
  EXPECT_THROW(r.own.Set("Snow☃", 1), client::TextError);
  EXPECT_THROW(r.own.Set(std::string("a\0b", 3), 1), client::TextError);
  EXPECT_EQ(r.own.Size(), 0u);
  for (size_t i = 0; i < OwnEvents::kMaxEvents; ++i) ASSERT_TRUE(r.own.Ensure("E" + std::to_string(i)));
  EXPECT_FALSE(r.own.Set("one more", 1));
  EXPECT_TRUE(r.own.Set("E0", 1));
}

}  // namespace
}  // namespace toruna::bridge
