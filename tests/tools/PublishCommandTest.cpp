// publish driven by the frames a server sends an event's owner.

#include "PublishCommand.h"

#include <gtest/gtest.h>

#include <sstream>

#include "client/WireText.h"
#include "protocol/Frame.h"

namespace toruna::cli {
namespace {

using Bytes = std::vector<uint8_t>;
namespace frames = protocol::frames;

// A publisher registered as Ann; its create request is the second frame sent.
struct Publisher {
  std::ostringstream out, err;
  Output output;
  std::vector<Bytes> sent;
  client::ClientProtocol protocol{[this](const Bytes& f) { sent.push_back(f); }};
  PublishCommand cmd;
  int doneCalls = 0;
  int32_t requestId = 0;

  explicit Publisher(PublishOptions o, bool json = false)
      : output(out, err, json), cmd(std::move(o), output, protocol) {
    cmd.SetOnDone([this] { ++doneCalls; });
    protocol.Start("Ann");
    requestId = protocol::FrameView(sent.at(1)).Int32At(4).value_or(0);
  }
  void Frame(const Bytes& f) { protocol.OnFrame(protocol::FrameView(f)); }
  // The server's answer to the create request.
  void Created(int32_t eventId) { Frame(frames::EventCreated(requestId, eventId)); }
  // The values sent so far, read back from the EventData frames.
  std::vector<int> Published(int32_t eventId) const {
    std::vector<int> v;
    for (const Bytes& f : sent) {
      protocol::FrameView view(f);
      if (view.Type() == protocol::EventData && view.Int32At(4) == eventId) v.push_back(*view.ByteAt(8));
    }
    return v;
  }
};

PublishOptions Options(bool always = false) {
  PublishOptions o;
  o.host = "h";
  o.event = "Temp";
  o.unit = "°C";
  o.interval = 10;
  o.max = 100;
  o.always = always;
  return o;
}

TEST(PublishCommandTest, RegistersAndCreatesTheEventWhenConnected) {
  Publisher p(Options());
  ASSERT_EQ(p.sent.size(), 2u);
  EXPECT_EQ(p.sent[0], frames::ClientInfoRequest(client::WireText::ToWire("Ann")));
  EXPECT_EQ(p.sent[1], frames::EventInfoRequest(p.requestId, 10, 100,
                                                Bytes{'T', 'e', 'm', 'p', 0, 0xB0, 'C'}));
}

TEST(PublishCommandTest, WaitsForTheFirstSubscriberThenPublishesInOrder) {
  Publisher p(Options());
  p.cmd.AddValue(1);
  p.cmd.AddValue(2);
  p.cmd.EndOfValues();
  // The roster and the server's name come before the answer to the create request.
  p.Frame(frames::ClientInfo(4, client::WireText::ToWire("Other")));
  p.Frame(frames::ServerInfo(client::WireText::ToWire("Lab")));
  p.Created(9);
  EXPECT_EQ(p.cmd.EventId(), 9);
  EXPECT_TRUE(p.Published(9).empty());
  EXPECT_NE(p.err.str().find("waiting for a subscriber to Temp"), std::string::npos);
  EXPECT_EQ(p.doneCalls, 0);

  // A notice for another event, and "nobody listens" for ours, change nothing.
  p.Frame(frames::EventSubscribe(8, 1));
  p.Frame(frames::EventSubscribe(9, 0));
  EXPECT_TRUE(p.Published(9).empty());

  p.Frame(frames::EventSubscribe(9, 1));  // a subscriber's request, forwarded
  EXPECT_EQ(p.Published(9), (std::vector<int>{1, 2}));
  EXPECT_TRUE(p.cmd.Done());
  EXPECT_EQ(p.doneCalls, 1);
  EXPECT_NE(p.out.str().find("published Temp 2"), std::string::npos);
}

TEST(PublishCommandTest, HoldsValuesWhileNobodyListensAndSaysSoOncePerWait) {
  Publisher p(Options());
  p.Created(9);
  p.Frame(frames::EventSubscribe(9, 1));
  p.cmd.AddValue(10);
  p.err.str("");
  p.Frame(frames::EventSubscribe(9, 0));  // the last subscriber left
  p.cmd.AddValue(11);
  p.cmd.AddValue(12);
  p.Frame(frames::EventSubscribe(9, 0));  // repeated at another client's departure
  EXPECT_EQ(p.Published(9), (std::vector<int>{10}));
  EXPECT_EQ(p.cmd.Queued(), 2u);
  const std::string err = p.err.str();
  const size_t first = err.find("waiting for a subscriber");
  ASSERT_NE(first, std::string::npos);
  EXPECT_EQ(err.find("waiting for a subscriber", first + 1), std::string::npos);
  p.Frame(frames::EventSubscribe(9, 1));
  EXPECT_EQ(p.Published(9), (std::vector<int>{10, 11, 12}));
  EXPECT_FALSE(p.cmd.Done());  // more values may come
  p.cmd.EndOfValues();
  EXPECT_TRUE(p.cmd.Done());
}

TEST(PublishCommandTest, AlwaysPublishesWithoutSubscribersButNotBeforeTheEventExists) {
  Publisher p(Options(/*always=*/true));
  p.sent.clear();
  p.cmd.AddValue(5);
  EXPECT_TRUE(p.sent.empty());
  p.Frame(frames::EventCreated(p.requestId + 76, 3));  // an answer to another request
  EXPECT_TRUE(p.sent.empty());
  p.Created(3);
  p.cmd.AddValue(6);
  p.cmd.EndOfValues();
  EXPECT_EQ(p.Published(3), (std::vector<int>{5, 6}));
  EXPECT_TRUE(p.cmd.Done());
  EXPECT_EQ(p.err.str().find("waiting"), std::string::npos);
}

TEST(PublishCommandTest, InputLinesAreValuesOrAnError) {
  Publisher p(Options(true));
  EXPECT_TRUE(p.cmd.AddLine("7"));
  EXPECT_TRUE(p.cmd.AddLine(""));  // blank lines are skipped
  EXPECT_TRUE(p.cmd.AddLine("255"));
  EXPECT_FALSE(p.cmd.AddLine("256"));
  EXPECT_NE(p.err.str().find("line 4 of standard input: '256' is not a value from 0 to 255"),
            std::string::npos);
  EXPECT_EQ(p.cmd.Queued(), 2u);
}

TEST(PublishCommandTest, JsonRecordsTheEventSubscribersAndValues) {
  Publisher p(Options(), /*json=*/true);
  p.cmd.AddValue(42);
  p.cmd.EndOfValues();
  p.Created(9);
  p.Frame(frames::EventSubscribe(9, 1));
  EXPECT_EQ(p.out.str(),
            "{\"type\":\"created\",\"id\":9,\"event\":\"Temp\",\"unit\":\"°C\"}\n"
            "{\"type\":\"subscribers\",\"id\":9,\"present\":true}\n"
            "{\"type\":\"published\",\"id\":9,\"event\":\"Temp\",\"value\":42}\n");
}

TEST(PublishCommandTest, NoValuesMeansDoneOnceTheEventExists) {
  Publisher p(Options());
  p.cmd.EndOfValues();
  EXPECT_FALSE(p.cmd.Done());
  p.Created(2);
  EXPECT_TRUE(p.cmd.Done());
  EXPECT_EQ(p.doneCalls, 1);
}

}  // namespace
}  // namespace toruna::cli
