#include "protocol/Frame.h"

#include <gtest/gtest.h>

#include <functional>
#include <span>
#include <string>

namespace toruna::protocol {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes Text(const std::string& s) { return Bytes(s.begin(), s.end()); }

Bytes Concat(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

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

// Every builder twice: into a caller's buffer it writes exactly the frame the
// vector builder returns and says its size; into a buffer one byte short it
// writes nothing and says 0.
TEST(FrameTest, BuildersIntoACallersBufferMatchTheVectorBuildersAndStopShort) {
  using Writer = std::function<size_t(std::span<uint8_t>)>;
  const Bytes name = Text("Lab"), text = Text(std::string("T\0C", 3));
  const struct {
    const char* type;
    Bytes expected;
    Writer write;
  } cases[] = {
      {"EventData", frames::EventData(7, 9), [](auto out) { return frames::EventData(out, 7, 9); }},
      {"ClientInfoRequest", frames::ClientInfoRequest(name),
       [&](auto out) { return frames::ClientInfoRequest(out, name); }},
      {"ClientInfo", frames::ClientInfo(4, name), [&](auto out) { return frames::ClientInfo(out, 4, name); }},
      {"ClientGone", frames::ClientGone(4), [](auto out) { return frames::ClientGone(out, 4); }},
      {"EventInfoRequest", frames::EventInfoRequest(1, 10, -1, text),
       [&](auto out) { return frames::EventInfoRequest(out, 1, 10, -1, text); }},
      {"EventInfo", frames::EventInfo(4, 5, 10, -1, text),
       [&](auto out) { return frames::EventInfo(out, 4, 5, 10, -1, text); }},
      {"EventRemove", frames::EventRemove(5), [](auto out) { return frames::EventRemove(out, 5); }},
      {"EventSubscribe", frames::EventSubscribe(5, 1), [](auto out) { return frames::EventSubscribe(out, 5, 1); }},
      {"EventCreated", frames::EventCreated(1, 5), [](auto out) { return frames::EventCreated(out, 1, 5); }},
      {"ServerInfo", frames::ServerInfo(name), [&](auto out) { return frames::ServerInfo(out, name); }},
  };
  for (const auto& c : cases) {
    Bytes room(c.expected.size() + 4, 0xEE);
    ASSERT_EQ(c.write(room), c.expected.size()) << c.type;
    EXPECT_EQ(Bytes(room.begin(), room.begin() + static_cast<std::ptrdiff_t>(c.expected.size())), c.expected)
        << c.type;
    EXPECT_EQ(room.back(), 0xEE) << c.type << " wrote past its frame";
    Bytes tight(c.expected.size() - 1, 0xEE);
    EXPECT_EQ(c.write(tight), 0u) << c.type;
    EXPECT_EQ(tight, Bytes(c.expected.size() - 1, 0xEE)) << c.type << " wrote into a buffer too small";
    EXPECT_EQ(FrameView(c.expected).Length(), static_cast<int16_t>(c.expected.size() - kHeaderSize)) << c.type;
  }
  EXPECT_EQ(frames::EventData(std::span<uint8_t>(), 1, 1), 0u);
}

TEST(FrameTest, OverlongTextIsCutSoTheLengthStaysPositive) {
  Bytes name(40000, 'a');
  Bytes frame = frames::ClientInfo(1, name);
  FrameView view(frame);
  EXPECT_EQ(view.Length(), 32767);
  EXPECT_EQ(frame.size(), 32770u);
  EXPECT_EQ(view.Int32At(4), 1);
}

// Given the bytes of several frames, a view covers the first only; given a frame
// cut short or with a negative length, it covers what it was given.
TEST(FrameTest, AViewEndsWhereItsFrameEnds) {
  const struct {
    const char* name;
    Bytes given;
    size_t viewed;
  } cases[] = {
      {"two frames", Concat(frames::ClientGone(3), frames::EventData(1, 2)), 8},
      {"one byte more", Concat(frames::EventData(1, 2), {42}), 9},
      {"exactly one frame", frames::EventData(1, 2), 9},
      {"payload cut short", {42, 6, 0, 1, 1, 0}, 6},
      {"header cut short", {42, 6}, 2},
      {"negative length", {42, 0xFF, 0xFF, 1, 2, 3, 4, 5}, 8},
      {"length 0 and more", {42, 0, 0, 7, 7}, 3},
  };
  for (const auto& c : cases) {
    const FrameView view(c.given);
    EXPECT_EQ(view.Bytes().size(), c.viewed) << c.name;
    EXPECT_EQ(view.Bytes().data(), c.given.data()) << c.name;
    EXPECT_EQ(view.Int32At(view.Bytes().size() - 3), std::nullopt) << c.name;
  }
  // The fields of the frame after are out of reach.
  const Bytes both = Concat(frames::ClientGone(3), frames::EventData(1, 2));
  EXPECT_EQ(FrameView(both).ByteAt(8), std::nullopt);
  EXPECT_TRUE(FrameView(both).BytesFrom(8).empty());
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
