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

}  // namespace
}  // namespace toruna::client
