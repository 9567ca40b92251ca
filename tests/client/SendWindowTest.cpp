// The send window against a simulated server that is slowest where it may be:
// it handles nothing until a round trip asks it to. A burst then never has
// more than the server's limit on the way, and leaves complete and in order;
// the round trips' answers stay inside the library.

#include "client/SendWindow.h"

#include <gtest/gtest.h>

#include "client/ClientProtocol.h"

namespace toruna::client {
namespace {

using Bytes = std::vector<uint8_t>;
namespace frames = protocol::frames;

const Bytes kProbe = frames::EventData(0, 0);

// The client's stream as the server sees it.
struct LazyServer {
  std::vector<Bytes> stream;
  size_t handled = 0;  // frames of the stream handled so far
  size_t mostWaiting = 0;

  void Take(const Bytes& f) {
    stream.push_back(f);
    mostWaiting = std::max(mostWaiting, Waiting());
  }
  size_t Waiting() const {
    size_t n = 0;
    for (size_t i = handled; i < stream.size(); ++i) n += stream[i].size();
    return n;
  }
  // Handles everything up to the next round trip; false when there is none.
  bool HandleToProbe() {
    for (size_t i = handled; i < stream.size(); ++i) {
      if (stream[i] == kProbe) {
        handled = i + 1;
        return true;
      }
    }
    return false;
  }
};

TEST(SendWindowTest, ABurstWaitsForRoundTripsNeverOverrunsTheServerAndStaysInOrder) {
  LazyServer server;
  SendWindow w([&](const Bytes& f) { server.Take(f); });
  std::vector<Bytes> burst;
  for (int i = 0; i < 3000; ++i) burst.push_back(frames::EventData(7, static_cast<uint8_t>(i)));
  burst.push_back(Bytes(1500, 42));  // a large frame keeps its place
  for (int i = 0; i < 3000; ++i) burst.push_back(frames::EventData(8, static_cast<uint8_t>(i)));
  for (const Bytes& f : burst) w.Send(f);
  EXPECT_GT(w.QueuedBytes(), 0u);
  EXPECT_FALSE(w.Idle());

  while (server.HandleToProbe()) w.Answered();

  EXPECT_TRUE(w.Idle());
  EXPECT_EQ(w.QueuedBytes(), 0u);
  EXPECT_LE(server.mostWaiting, SendWindow::kLimit);
  std::vector<Bytes> delivered;
  size_t probes = 0;
  for (const Bytes& f : server.stream) {
    if (f == kProbe) {
      ++probes;
    } else {
      delivered.push_back(f);
    }
  }
  EXPECT_EQ(delivered, burst);
  // About one round trip per half window, not one per frame.
  size_t total = 0;
  for (const Bytes& f : burst) total += f.size();
  EXPECT_LE(probes, 2 * total / SendWindow::kProbeEvery + 2);

  // A final round trip confirms the tail; an answer nobody asked for changes nothing.
  w.Send(frames::EventData(7, 1));
  w.Probe();
  EXPECT_FALSE(w.Idle());
  ASSERT_TRUE(server.HandleToProbe());
  w.Answered();
  w.Answered();
  EXPECT_TRUE(w.Idle());
  EXPECT_FALSE(server.HandleToProbe());
}

TEST(SendWindowTest, AnswersAreNotSubscriberNoticesAndPublishingResumesWithThem) {
  std::vector<Bytes> sent;
  ClientProtocol p([&](const Bytes& f) { sent.push_back(f); });
  std::vector<bool> notices;
  p.OnSubscribers = [&](const OwnEvent& e) { notices.push_back(e.hasSubscribers); };
  const int32_t h = p.CreateEvent("Level");
  p.Start("Me");
  p.OnFrame(protocol::FrameView(frames::ServerInfo(Bytes{'L'})));
  p.OnFrame(protocol::FrameView(frames::EventCreated(h, 5)));
  p.OnFrame(protocol::FrameView(frames::EventSubscribe(5, 1)));
  for (int i = 0; i < 1000; ++i) ASSERT_TRUE(p.Publish(h, static_cast<uint8_t>(i)));
  EXPECT_GT(p.Queued(), 0u);
  const size_t before = sent.size();
  p.OnFrame(protocol::FrameView(frames::EventSubscribe(0, 0)));
  EXPECT_GT(sent.size(), before);  // the answer made room
  EXPECT_EQ(notices, std::vector<bool>{true});
  EXPECT_TRUE(p.HasSubscribers(h));
}

}  // namespace
}  // namespace toruna::client
