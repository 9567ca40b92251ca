// How a session cuts frames out of what arrives, over real loopback connections.

#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "RelayHarness.h"

namespace toruna::server::testing {
namespace {

using protocol::frames::ClientInfoRequest;
using protocol::frames::EventData;

class RelayFramingTest : public RelayHarness {
 protected:
  // Sends bytes and waits until the session holds `held` bytes, so that every
  // call is a separate arrival.
  void SendArrival(RelayTestClient& c, session::clsClient& s, const Bytes& bytes, int32_t held) {
    c.Send(bytes);
    EXPECT_TRUE(PumpUntil([&] { return s.RecvCount() == held; }));
  }

  int CountLog(const std::string& line) {
    return static_cast<int>(std::count(server.List1().begin(), server.List1().end(), line));
  }
};

TEST_F(RelayFramingTest, RegistrationSplitOverThreeArrivalsRegistersOnceAfterTheLast) {
  RelayTestClient& c = Connect();
  auto s = LastSession();
  Bytes frame = ClientInfoRequest(Text("Ann"));
  SendArrival(c, *s, Bytes(frame.begin(), frame.begin() + 1), 1);
  SendArrival(c, *s, Bytes(frame.begin() + 1, frame.begin() + 3), 3);
  EXPECT_FALSE(s->Registered());
  c.Send(Bytes(frame.begin() + 3, frame.end()));
  EXPECT_EQ(WaitFrame(c), server.NameMessage());
  EXPECT_TRUE(s->Registered());
  EXPECT_EQ(s->name(), "Ann");
  EXPECT_EQ(s->RecvCount(), 0);
  EXPECT_EQ(CountLog("Ann registered."), 1);
  EXPECT_EQ(server.colClients.Count(), 1);
}

TEST_F(RelayFramingTest, CompleteFramesAreHandledInOrderAndAPartialHeaderWaits) {
  RelayTestClient& c = Connect();
  auto s = LastSession();
  // A frame of length 0, the registration, a second registration that is ignored,
  // and two bytes of a third frame, in one write.
  Bytes bytes{42, 0, 0};
  for (const char* name : {"Ann", "Other"}) {
    Bytes f = ClientInfoRequest(Text(name));
    bytes.insert(bytes.end(), f.begin(), f.end());
  }
  Bytes data = EventData(77, 1);
  bytes.insert(bytes.end(), data.begin(), data.begin() + 2);
  c.Send(bytes);
  EXPECT_EQ(WaitFrame(c), server.NameMessage());
  EXPECT_TRUE(PumpUntil([&] { return s->RecvCount() == 2; }));
  EXPECT_EQ(s->name(), "Ann");
  // The rest of the EventData completes a frame for an event Ann does not own.
  c.Send(Bytes(data.begin() + 2, data.end()));
  EXPECT_EQ(WaitFrame(c), protocol::frames::EventSubscribe(77, 0));
  EXPECT_EQ(CountLog("Ann registered."), 1);
  EXPECT_TRUE(alerts.shown.empty());
}

TEST_F(RelayFramingTest, FramesBeforeRegistrationAreConsumedWithoutEffect) {
  RelayTestClient& c = Connect();
  Bytes bytes = EventData(1, 1);
  for (const Bytes& f : {protocol::frames::EventSubscribe(1, 1), protocol::frames::EventRemove(1),
                         protocol::frames::EventInfoRequest(1, 1, 1, Text("x"))}) {
    bytes.insert(bytes.end(), f.begin(), f.end());
  }
  c.Send(bytes);
  EXPECT_TRUE(PumpUntil([&] { return LastSession()->RecvCount() == 0 && c.Unread() == 0; }));
  Pump();
  EXPECT_EQ(c.Unread(), 0u);
  EXPECT_EQ(LastSession()->EventCount(), 0);
  EXPECT_EQ(RegisterAs(c, "Ann").size(), 0u);
}

TEST_F(RelayFramingTest, ArrivalOf2048BytesIsTakenAnd2049Closes) {
  // One frame of an unknown type filling the arrival exactly.
  auto filler = [](size_t total) {
    Bytes f(total, 0);
    f[0] = 42;
    protocol::PutInt16(&f[1], static_cast<int16_t>(total - 3));
    f[3] = 99;
    return f;
  };
  RelayTestClient& taken = Connect();
  auto s = LastSession();
  taken.Send(filler(2048));
  // The capacity grows to 2049 for it; the registration must be a later arrival.
  EXPECT_TRUE(PumpUntil([&] { return s->RecvCapacity() == 2049; }));
  EXPECT_EQ(s->RecvCount(), 0);
  EXPECT_EQ(RegisterAs(taken, "Ann").size(), 0u);
  EXPECT_FALSE(taken.PeerClosed());

  RelayTestClient& refused = Connect();
  auto r = LastSession();
  refused.Send(filler(2049));
  EXPECT_TRUE(PumpUntil([&] { return refused.PeerClosed(); }));
  EXPECT_EQ(r->RecvCount(), 0);
  EXPECT_EQ(r->RecvCapacity(), 1);
  EXPECT_EQ(refused.Unread(), 0u);
  EXPECT_EQ(CountLog("Lost protocol sync"), 0);
}

TEST_F(RelayFramingTest, WrongMarkerOrNegativeLengthLosesSyncOnceAndCloses) {
  for (Bytes bad : {Bytes{43, 6, 0, 1, 0, 0, 0, 0, 0}, Bytes{42, 0xFF, 0xFF, 1}}) {
    RelayTestClient& c = Connect();
    // Registered first, so the others would see anything the bad frame set off.
    RegisterAs(c, "Ann");
    int before = CountLog("Lost protocol sync");
    // The frame after the bad bytes is never looked at.
    Bytes bytes = bad;
    Bytes more = protocol::frames::EventInfoRequest(1, 1, 1, Text("x"));
    bytes.insert(bytes.end(), more.begin(), more.end());
    c.Send(bytes);
    EXPECT_TRUE(PumpUntil([&] { return c.PeerClosed(); }));
    EXPECT_EQ(CountLog("Lost protocol sync"), before + 1);
    EXPECT_EQ(c.Unread(), 0u);
  }
  EXPECT_EQ(server.colClients.Count(), 0);
  EXPECT_EQ(server.colDisconnected.size(), 2u);
}

TEST_F(RelayFramingTest, EmptyNameClosesTheConnection) {
  RelayTestClient& c = Connect();
  c.Send(Bytes{42, 1, 0, 2});
  EXPECT_TRUE(PumpUntil([&] { return c.PeerClosed(); }));
  EXPECT_EQ(c.Unread(), 0u);
  EXPECT_EQ(server.colClients.Count(), 0);
}

TEST_F(RelayFramingTest, BytesArrivingWhileAFrameIsHandledWaitForTheirTurn) {
  RelayTestClient& c = Connect();
  auto s = LastSession();
  bool nested = false;
  frontEnd.onLog = [&](const std::string& line) {
    if (line != "Ann registered." || nested) return;
    nested = true;
    // The loop runs in the middle of the registration, as under a modal box, and
    // a create request arrives: it must wait until the registration is done.
    c.Send(protocol::frames::EventInfoRequest(5, 1, 1, Text("T")));
    EXPECT_TRUE(PumpUntil([&] { return s->RecvCount() > 0; }));
    EXPECT_EQ(s->EventCount(), 0);
  };
  c.Send(ClientInfoRequest(Text("Ann")));
  EXPECT_EQ(WaitFrame(c), server.NameMessage());
  EXPECT_EQ(WaitFrame(c), protocol::frames::EventCreated(5, s->ID() + 1));
  EXPECT_TRUE(nested);
}

TEST_F(RelayFramingTest, RandomTrafficNeitherEndsTheServerNorGarblesWhatOthersReceive) {
  std::vector<RelayTestClient*> noisy;
  for (int i = 0; i < 6; ++i) {
    noisy.push_back(&Joined(Numbered("N", i)));
    CreateEvent(*noisy.back(), Numbered("E", i));
  }
  RelayTestClient& observer = Joined("Observer");
  std::mt19937 random(20261208);
  auto pick = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(random); };
  for (int round = 0; round < 40; ++round) {
    for (RelayTestClient* c : noisy) {
      Bytes bytes;
      for (int f = 0; f < 8; ++f) {
        size_t payload = static_cast<size_t>(pick(0, 24));
        Bytes frame(4 + payload);
        frame[0] = pick(0, 60) == 0 ? static_cast<uint8_t>(pick(0, 255)) : 42;
        protocol::PutInt16(&frame[1], pick(0, 40) == 0 ? static_cast<int16_t>(pick(-5, 0))
                                                       : static_cast<int16_t>(payload + 1));
        frame[3] = static_cast<uint8_t>(pick(0, 9));
        for (size_t i = 4; i < frame.size(); ++i) frame[i] = static_cast<uint8_t>(pick(0, 255));
        // IDs that exist, now and then.
        if (payload >= 4 && pick(0, 1) == 0) protocol::PutInt32(&frame[4], pick(1, 16));
        bytes.insert(bytes.end(), frame.begin(), frame.end());
      }
      c->Send(bytes);
    }
    Pump();
  }
  Pump();

  // Everything the observer got is a sequence of well-formed frames.
  while (std::optional<Bytes> f = observer.TakeFrame()) {
    ASSERT_EQ((*f)[0], protocol::kFrameMarker);
    ASSERT_GE(f->size(), 4u);
    ASSERT_GE((*f)[3], 1);
    ASSERT_LE((*f)[3], 8);
  }
  EXPECT_EQ(observer.Unread(), 0u);
  EXPECT_FALSE(observer.PeerClosed());

  // A newcomer still gets a roster that matches the server's state.
  int32_t expected = 0;
  for (const auto& entry : server.colClients) expected += 1 + entry.item->EventCount();
  RelayTestClient& late = Connect();
  EXPECT_EQ(static_cast<int32_t>(RegisterAs(late, "Late").size()), expected);
}

}  // namespace
}  // namespace toruna::server::testing
