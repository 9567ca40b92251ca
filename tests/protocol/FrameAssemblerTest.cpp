#include "protocol/FrameAssembler.h"

#include <gtest/gtest.h>

#include "protocol/Frame.h"

namespace toruna::protocol {
namespace {

using Bytes = std::vector<uint8_t>;
using Arrival = FrameAssembler::Arrival;
using Step = FrameAssembler::Step;
using Drained = FrameAssembler::Drained;

Bytes Text(const std::string& s) { return Bytes(s.begin(), s.end()); }

Bytes Concat(std::initializer_list<Bytes> parts) {
  Bytes all;
  for (const Bytes& p : parts) all.insert(all.end(), p.begin(), p.end());
  return all;
}

// Drives the assembler the way a session does and records what it saw:
// complete frames, "lost", "negative" and "close".
struct Session {
  FrameAssembler assembler;
  std::vector<Bytes> frames;
  std::vector<std::string> events;
  bool closed = false;

  void Arrive(const Bytes& bytes) {
    if (closed) return;
    Arrival arrival = assembler.CheckArrival(static_cast<int32_t>(bytes.size()));
    if (arrival == Arrival::Close) return Close("close");
    if (arrival == Arrival::Ignore) return;
    assembler.Append(bytes);
    switch (assembler.Drain([this](const FrameView& frame) {
      frames.emplace_back(frame.Bytes().begin(), frame.Bytes().end());
      events.push_back("frame");
    })) {
      case Drained::NeedMore:
        return;
      case Drained::LostSync:
        return Close("lost");
      case Drained::NegativeLength:
        return Close("negative");
    }
  }
  void Close(const std::string& why) {
    events.push_back(why);
    closed = true;
  }
};

TEST(FrameAssemblerTest, FramesSurviveAnySplitIntoThreeArrivals) {
  const std::vector<Bytes> sent = {
      frames::ClientInfoRequest(Text("Ann")),
      frames::EventInfoRequest(77, 1000, 5, Text(std::string("Temp\0C", 6))),
      frames::EventData(6, 200),
      frames::EventSubscribe(5, 1),
  };
  Bytes stream = Concat({sent[0], sent[1], sent[2], sent[3]});
  for (size_t a = 0; a <= stream.size(); ++a) {
    for (size_t b = a; b <= stream.size(); ++b) {
      Session s;
      s.Arrive(Bytes(stream.begin(), stream.begin() + a));
      s.Arrive(Bytes(stream.begin() + a, stream.begin() + b));
      s.Arrive(Bytes(stream.begin() + b, stream.end()));
      ASSERT_EQ(s.frames, sent) << "cuts at " << a << " and " << b;
      ASSERT_EQ(s.assembler.RecvCount(), 0);
    }
  }
}

TEST(FrameAssemblerTest, ClientInfoInThreeArrivalsCompletesOnlyWithTheLast) {
  Bytes frame = frames::ClientInfoRequest(Text("Ann"));
  Session s;
  s.Arrive(Bytes(frame.begin(), frame.begin() + 1));
  s.Arrive(Bytes(frame.begin() + 1, frame.begin() + 3));
  EXPECT_TRUE(s.frames.empty());
  EXPECT_EQ(s.assembler.RecvCount(), 3);
  s.Arrive(Bytes(frame.begin() + 3, frame.end()));
  EXPECT_EQ(s.frames, std::vector<Bytes>{frame});
}

TEST(FrameAssemblerTest, TwoFramesAndTwoBytesOfAThird) {
  Bytes first = frames::EventData(1, 10), second = frames::EventData(2, 20),
        third = frames::ClientGone(3);
  Session s;
  s.Arrive(Concat({first, second, Bytes(third.begin(), third.begin() + 2)}));
  EXPECT_EQ(s.frames, (std::vector<Bytes>{first, second}));
  EXPECT_EQ(s.assembler.RecvCount(), 2);
  s.Arrive(Bytes(third.begin() + 2, third.end()));
  EXPECT_EQ(s.frames, (std::vector<Bytes>{first, second, third}));
  EXPECT_EQ(s.assembler.RecvCount(), 0);
}

TEST(FrameAssemblerTest, FaultsAtAFrameBoundary) {
  struct Case {
    const char* name;
    Bytes stream;
    std::vector<std::string> events;
  };
  const Bytes good = frames::EventData(1, 1);
  const Case cases[] = {
      {"length 0 is skipped", Concat({{42, 0, 0}, good, {42, 0, 0}}), {"frame"}},
      {"wrong marker first", Concat({{41}, good}), {"lost"}},
      {"wrong marker after a frame", Concat({good, {0, 42, 0, 0}, good}), {"frame", "lost"}},
      {"negative length", Concat({{42, 0xFF, 0xFF, 1}, good}), {"negative"}},
      {"length -32768", Concat({good, {42, 0x00, 0x80}}), {"frame", "negative"}},
      {"fewer than 3 bytes wait", {42, 6}, {}},
      {"a payload cut short waits", Concat({good, Bytes(good.begin(), good.end() - 1)}), {"frame"}},
      {"a wrong marker behind a cut frame is not seen yet", {42, 6, 0, 1, 41}, {}},
  };
  for (const Case& c : cases) {
    Session s;
    s.Arrive(c.stream);
    EXPECT_EQ(s.events, c.events) << c.name;
    for (const Bytes& f : s.frames) EXPECT_EQ(f, good) << c.name;
  }
}

// A frame's handling may append to the same assembler and drain again (a modal
// box runs the loop): the inner drain leaves the bytes to the outer one, which
// delivers them after the frame in hand, and the frame in hand stays intact
// although the buffer under it grew.
TEST(FrameAssemblerTest, ADrainInsideTheHandlingLeavesNewBytesToTheOuterOne) {
  FrameAssembler a;
  const Bytes first = frames::ClientInfoRequest(Bytes(100, 'a'));  // past the copy on the stack
  const Bytes second = frames::EventData(2, 2), third = frames::EventData(3, 3);
  Bytes bigger(3000);
  for (size_t i = 0; i < 300; ++i) std::copy(third.begin(), third.end(), bigger.begin() + 9 * i);
  bigger.resize(2700);
  std::vector<Bytes> seen;
  bool nested = false;
  a.Append(Concat({first, second}));
  const Drained outer = a.Drain([&](const FrameView& f) {
    seen.emplace_back(f.Bytes().begin(), f.Bytes().end());
    if (nested) return;
    nested = true;
    a.Append(bigger);  // moves the buffer's bytes
    EXPECT_EQ(a.Drain([&](const FrameView&) { ADD_FAILURE() << "delivered by the inner drain"; }),
              Drained::NeedMore);
    EXPECT_EQ(Bytes(f.Bytes().begin(), f.Bytes().end()), first) << "the frame in hand changed";
  });
  EXPECT_EQ(outer, Drained::NeedMore);
  ASSERT_EQ(seen.size(), 2u + 300u);
  EXPECT_EQ(seen[0], first);
  EXPECT_EQ(seen[1], second);
  for (size_t i = 2; i < seen.size(); ++i) ASSERT_EQ(seen[i], third) << i;
  EXPECT_EQ(a.RecvCount(), 0);
}

// A handler may take the frames after the one in hand: they go with it and are
// not handed out; what it leaves (here half a frame) stays for later.
TEST(FrameAssemblerTest, FramesTakenWithTheOneInHandAreNotHandedOut) {
  FrameAssembler a;
  const Bytes first = frames::EventData(1, 1), second = frames::EventData(2, 2), third = frames::EventData(3, 3);
  const Bytes fourth = frames::EventData(4, 4);
  EXPECT_TRUE(a.Following().empty());
  a.Append(Concat({first, second, third, Bytes(fourth.begin(), fourth.begin() + 5)}));
  std::vector<Bytes> seen;
  EXPECT_EQ(a.Drain([&](const FrameView& f) {
    seen.emplace_back(f.Bytes().begin(), f.Bytes().end());
    if (seen.size() > 1) return;
    EXPECT_EQ(Bytes(a.Following().begin(), a.Following().end()),
              Concat({second, third, Bytes(fourth.begin(), fourth.begin() + 5)}));
    a.TakeFollowing(100);  // more than there is: nothing taken
    a.TakeFollowing(second.size());
  }), Drained::NeedMore);
  EXPECT_EQ(seen, (std::vector<Bytes>{first, third}));
  EXPECT_TRUE(a.Following().empty());
  a.Append(Bytes(fourth.begin() + 5, fourth.end()));
  a.Drain([&](const FrameView& f) { seen.emplace_back(f.Bytes().begin(), f.Bytes().end()); });
  EXPECT_EQ(seen.back(), fourth);
  EXPECT_EQ(a.RecvCount(), 0);
}

// The frame in hand is handled where it lies, yet counts as removed: bytes that
// arrive meanwhile grow the capacity as if it were gone, so a large frame does
// not bring its connection nearer to being closed.
TEST(FrameAssemblerTest, ArrivalsDuringAFrameCountWithoutTheFrameInHand) {
  FrameAssembler a;
  const Bytes big = frames::ClientInfoRequest(Bytes(1997, 'b'));  // 2001 bytes
  const Bytes next = frames::EventData(4, 4);
  a.Append(big);
  ASSERT_EQ(a.RecvCapacity(), 2049);
  Bytes late(1000, 0);
  std::copy(next.begin(), next.end(), late.begin());
  for (size_t i = next.size(); i + 3 <= late.size(); i += 3) late[i] = 42;  // frames of length 0
  std::vector<Bytes> seen;
  a.Drain([&](const FrameView& f) {
    seen.emplace_back(f.Bytes().begin(), f.Bytes().end());
    if (seen.size() > 1) return;
    a.Append(late);
    EXPECT_EQ(a.RecvCount(), 1000);
    EXPECT_EQ(a.RecvCapacity(), 2049);
    EXPECT_EQ(a.CheckArrival(1), Arrival::Take);
  });
  EXPECT_EQ(seen, (std::vector<Bytes>{big, next}));
  EXPECT_EQ(a.RecvCount(), 1000 - 9 - 330 * 3);
}

TEST(FrameAssemblerTest, ArrivalLimits) {
  FrameAssembler a;
  EXPECT_EQ(a.CheckArrival(2048), Arrival::Take);
  EXPECT_EQ(a.CheckArrival(2049), Arrival::Close);
  EXPECT_EQ(a.CheckArrival(1), Arrival::Take);
  EXPECT_EQ(a.CheckArrival(0), Arrival::Ignore);
  EXPECT_EQ(a.CheckArrival(-1), Arrival::Ignore);

  // The largest frame an arrival of 2048 can start: 2048 bytes of it are taken
  // and the frame waits for the rest.
  Session s;
  Bytes big = frames::ClientInfoRequest(Bytes(2500, 'x'));
  s.Arrive(Bytes(big.begin(), big.begin() + 2048));
  EXPECT_FALSE(s.closed);
  EXPECT_EQ(s.assembler.RecvCount(), 2048);
  s.Arrive(Bytes(big.begin() + 2048, big.end()));
  EXPECT_EQ(s.frames, std::vector<Bytes>{big});

  Session over;
  over.Arrive(Bytes(2049, 42));
  EXPECT_EQ(over.events, std::vector<std::string>{"close"});
  EXPECT_EQ(over.assembler.RecvCount(), 0);  // nothing was read
}

TEST(FrameAssemblerTest, CapacityGrowsBy256AndNeverShrinks) {
  FrameAssembler a;
  EXPECT_EQ(a.RecvCapacity(), 1);
  EXPECT_EQ(a.RecvCount(), 0);
  a.Append(Bytes{42});
  EXPECT_EQ(a.RecvCapacity(), 1);
  a.Append(Bytes{0});
  EXPECT_EQ(a.RecvCapacity(), 257);
  a.Append(Bytes(255, 0));
  EXPECT_EQ(a.RecvCapacity(), 257);
  a.Append(Bytes{0});
  EXPECT_EQ(a.RecvCapacity(), 513);
  a.Append(Bytes(1000, 0));  // several steps in one arrival
  EXPECT_EQ(a.RecvCount(), 1258);
  EXPECT_EQ(a.RecvCapacity(), 1281);

  a.Reset();
  EXPECT_EQ(a.RecvCapacity(), 1);
  EXPECT_EQ(a.RecvCount(), 0);

  // Consumed frames free room but the capacity stays.
  Bytes frame = frames::ClientInfoRequest(Bytes(600, 'n'));
  a.Append(frame);
  EXPECT_EQ(a.RecvCapacity(), 769);
  a.Consume();
  EXPECT_EQ(a.RecvCount(), 0);
  EXPECT_EQ(a.RecvCapacity(), 769);
  a.Append(Bytes{42, 0, 0});
  EXPECT_EQ(a.RecvCapacity(), 769);
}

TEST(FrameAssemblerTest, CapacityAbove3072ClosesTheNextArrival) {
  // A 3003-byte frame in two arrivals takes the capacity to 3073.
  Bytes frame = frames::ClientInfoRequest(Bytes(2999, 'n'));
  ASSERT_EQ(frame.size(), 3003u);
  Session s;
  s.Arrive(Bytes(frame.begin(), frame.begin() + 2048));
  s.Arrive(Bytes(frame.begin() + 2048, frame.end()));
  EXPECT_EQ(s.frames.size(), 1u);
  EXPECT_EQ(s.assembler.RecvCapacity(), 3073);
  EXPECT_EQ(s.assembler.RecvCount(), 0);
  s.Arrive(frames::EventData(1, 1));
  EXPECT_EQ(s.events, (std::vector<std::string>{"frame", "close"}));

  // 2817 is the largest capacity that still admits an arrival.
  Bytes edge = frames::ClientInfoRequest(Bytes(2813, 'n'));
  ASSERT_EQ(edge.size(), 2817u);
  Session t;
  t.Arrive(Bytes(edge.begin(), edge.begin() + 2048));
  t.Arrive(Bytes(edge.begin() + 2048, edge.end()));
  EXPECT_EQ(t.assembler.RecvCapacity(), 2817);
  EXPECT_EQ(t.assembler.CheckArrival(2048), Arrival::Take);
}

TEST(FrameAssemblerTest, ConsumeWithoutACompleteFrameChangesNothing) {
  FrameAssembler a;
  a.Consume();
  EXPECT_EQ(a.RecvCount(), 0);
  a.Append(Bytes{42, 5, 0, 3});
  a.Consume();
  EXPECT_EQ(a.RecvCount(), 4);
  a.Reset();
  a.Append(Bytes{7, 7, 7});
  std::span<const uint8_t> frame;
  EXPECT_EQ(a.Next(frame), Step::LostSync);
  a.Consume();
  EXPECT_EQ(a.RecvCount(), 3);
}

}  // namespace
}  // namespace toruna::protocol
