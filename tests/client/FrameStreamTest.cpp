// Frames cut out of a server's byte stream.

#include "client/FrameStream.h"

#include <gtest/gtest.h>

#include "client/WireText.h"

namespace toruna::client {
namespace {

using Bytes = std::vector<uint8_t>;
namespace frames = protocol::frames;

void Append(Bytes& to, const Bytes& frame) { to.insert(to.end(), frame.begin(), frame.end()); }

TEST(FrameStreamTest, StopsAtLostSyncAndNegativeLength) {
  for (const Bytes& bad : {Bytes{7, 1, 0, 8}, Bytes{42, 0xFF, 0xFF, 8}}) {
    int frames = 0;
    FrameStream fs([&](const protocol::FrameView&) { ++frames; });
    Bytes s = frames::ServerInfo(WireText::ToWire("x"));
    Append(s, bad);
    Append(s, frames::ServerInfo(WireText::ToWire("y")));
    EXPECT_FALSE(fs.Feed(s));
    EXPECT_TRUE(fs.Broken());
    EXPECT_EQ(frames, 1);  // the frame before the damage, nothing after
    EXPECT_FALSE(fs.Feed(frames::ServerInfo(WireText::ToWire("z"))));
    EXPECT_EQ(frames, 1);
  }
}

TEST(FrameStreamTest, TakesARosterLongerThanOneServerArrival) {
  // A server with many clients sends far more than 2048 bytes at once.
  Bytes s;
  for (int32_t id = 1; id <= 300; ++id) {
    Append(s, frames::ClientInfo(id, WireText::ToWire("client-number-" + std::to_string(id))));
  }
  Append(s, frames::ServerInfo(WireText::ToWire("Big")));
  ASSERT_GT(s.size(), 6000u);
  int count = 0;
  FrameStream fs([&](const protocol::FrameView&) { ++count; });
  EXPECT_TRUE(fs.Feed(s));
  EXPECT_EQ(count, 301);
}

// Bytes fed while a frame is handled (an arrival during a modal box) come after
// the frames already waiting, and the frame in hand stays as it was although
// the stream's buffer grew under it.
TEST(FrameStreamTest, BytesFedDuringTheHandlingComeAfterThoseWaiting) {
  const Bytes first = frames::ClientInfo(1, Bytes(120, 'a'));  // copied to the heap
  const Bytes second = frames::EventData(2, 2);
  Bytes later;
  for (int i = 0; i < 400; ++i) Append(later, frames::EventData(3, static_cast<uint8_t>(i)));
  std::vector<Bytes> seen;
  FrameStream* self = nullptr;
  FrameStream fs([&](const protocol::FrameView& f) {
    seen.emplace_back(f.Bytes().begin(), f.Bytes().end());
    if (seen.size() != 1) return;
    EXPECT_TRUE(self->Feed(later));
    EXPECT_EQ(Bytes(f.Bytes().begin(), f.Bytes().end()), first);
  });
  self = &fs;
  Bytes both = first;
  Append(both, second);
  EXPECT_TRUE(fs.Feed(both));
  ASSERT_EQ(seen.size(), 402u);
  EXPECT_EQ(seen[0], first);
  EXPECT_EQ(seen[1], second);
  for (size_t i = 2; i < seen.size(); ++i) {
    ASSERT_EQ(seen[i], frames::EventData(3, static_cast<uint8_t>(i - 2))) << i;
  }
}

}  // namespace
}  // namespace toruna::client
