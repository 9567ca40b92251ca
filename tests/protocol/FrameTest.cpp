#include "protocol/Frame.h"

#include <gtest/gtest.h>

namespace toruna::protocol {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes Text(const std::string& s) { return Bytes(s.begin(), s.end()); }

TEST(FrameTest, LayoutsOfEveryType) {
  EXPECT_EQ(frames::ServerInfo(Text("ABC")), (Bytes{0x2A, 0x04, 0x00, 0x08, 0x41, 0x42, 0x43}));
  EXPECT_EQ(frames::EventSubscribe(5, 1),
            (Bytes{0x2A, 0x06, 0x00, 0x06, 0x05, 0x00, 0x00, 0x00, 0x01}));
  EXPECT_EQ(frames::EventCreated(77, 6),
            (Bytes{0x2A, 0x09, 0x00, 0x07, 0x4D, 0x00, 0x00, 0x00, 0x06, 0x00, 0x00, 0x00}));
  EXPECT_EQ(frames::ClientGone(3), (Bytes{0x2A, 0x05, 0x00, 0x03, 0x03, 0x00, 0x00, 0x00}));
  EXPECT_EQ(frames::EventData(0x01020304, 200),
            (Bytes{42, 6, 0, 1, 0x04, 0x03, 0x02, 0x01, 200}));
  EXPECT_EQ(frames::ClientInfoRequest(Text("Ann")), (Bytes{42, 4, 0, 2, 'A', 'n', 'n'}));
  EXPECT_EQ(frames::ClientInfo(12, Text("Bo")), (Bytes{42, 7, 0, 2, 12, 0, 0, 0, 'B', 'o'}));
  EXPECT_EQ(frames::EventRemove(-1), (Bytes{42, 5, 0, 5, 0xFF, 0xFF, 0xFF, 0xFF}));

  Bytes request = frames::EventInfoRequest(9, 1000, -2, Text(std::string("T\0C", 3)));
  EXPECT_EQ(request, (Bytes{42, 12, 0, 4, 9, 0, 0, 0, 0xE8, 0x03, 0xFE, 0xFF, 'T', 0, 'C'}));

  // The announcement of a stored event "Temp" with an empty unit: name and one 0.
  Bytes info = frames::EventInfo(3, 7, 500, 100, Text(std::string("Temp\0", 5)));
  EXPECT_EQ(info.size(), 21u);
  FrameView view(info);
  EXPECT_EQ(view.Length(), 18);
  EXPECT_EQ(view.Type(), EventInfo);
  EXPECT_EQ(view.Int32At(4), 3);
  EXPECT_EQ(view.Int32At(8), 7);
  EXPECT_EQ(view.Int16At(12), 500);
  EXPECT_EQ(view.Int16At(14), 100);
  EXPECT_EQ(Bytes(view.BytesFrom(16).begin(), view.BytesFrom(16).end()),
            Text(std::string("Temp\0", 5)));
}

TEST(FrameTest, OverlongTextIsCutSoTheLengthStaysPositive) {
  Bytes name(40000, 'a');
  Bytes frame = frames::ClientInfo(1, name);
  FrameView view(frame);
  EXPECT_EQ(view.Length(), 32767);
  EXPECT_EQ(frame.size(), 32770u);
  EXPECT_EQ(view.Int32At(4), 1);
}

TEST(FrameTest, ReadersNeverPassTheEndOfTheFrame) {
  const Bytes frame{42, 5, 0, 3, 1, 2, 3, 4};
  FrameView view(frame);
  EXPECT_EQ(view.Int32At(4), 0x04030201);
  EXPECT_EQ(view.Int32At(5), std::nullopt);
  EXPECT_EQ(view.Int16At(6), 0x0403);
  EXPECT_EQ(view.Int16At(7), std::nullopt);
  EXPECT_EQ(view.ByteAt(7), 4);
  EXPECT_EQ(view.ByteAt(8), std::nullopt);
  EXPECT_EQ(view.Int32At(1000), std::nullopt);
  EXPECT_EQ(view.Int32At(SIZE_MAX), std::nullopt);
  EXPECT_EQ(view.BytesFrom(7).size(), 1u);
  EXPECT_TRUE(view.BytesFrom(8).empty());
  EXPECT_TRUE(view.BytesFrom(SIZE_MAX).empty());

  // A frame of length 0 has no type byte, even when more bytes follow it.
  const Bytes empty{42, 0, 0, 9};
  EXPECT_EQ(FrameView(empty).Type(), 0);
  const Bytes negative{42, 0xFF, 0xFF, 9};
  EXPECT_EQ(FrameView(negative).Length(), -1);
  EXPECT_EQ(FrameView(negative).Type(), 0);
  const Bytes cut{42, 1};
  EXPECT_EQ(FrameView(cut).Length(), 0);
  EXPECT_EQ(FrameView(cut).Type(), 0);
  EXPECT_EQ(FrameView({}).Type(), 0);
}

}  // namespace
}  // namespace toruna::protocol
