#include "TorunaProtocol.h"

#include <gtest/gtest.h>

#include "ParseHarness.h"

using namespace loadgen;
using namespace loadgen::test;

namespace {

// What a publisher and a subscriber see: announcements of others mixed with
// the frames that matter.
std::vector<uint8_t> Traffic() {
  auto serverInfo = Bytes({42, 4, 0, 8, 'A', 'B', 'C'});
  auto clientInfo = Bytes({42, 7, 0, 2, 9, 0, 0, 0, 'B', 'o'});
  auto created = Bytes({42, 9, 0, 7, 0x67, 0x12, 0, 0, 6, 0, 0, 0});  // request 4711, event 6
  auto barrier = Bytes({42, 6, 0, 6, 0xf0, 0xff, 0xff, 0x7f, 0});
  auto empty = Bytes({42, 0, 0});
  auto data = Bytes({42, 6, 0, 1, 6, 0, 0, 0, 200});
  auto otherEvent = Bytes({42, 6, 0, 1, 7, 0, 0, 0, 1});
  auto firstSubscriber = Bytes({42, 6, 0, 6, 6, 0, 0, 0, 1});
  auto gone = Bytes({42, 5, 0, 3, 9, 0, 0, 0});
  auto owned = Bytes({42, 9, 0, 7, 0x68, 0x12, 0, 0, 8, 0, 0, 0});  // request 4712, event 8
  return Cat(Cat(Cat(Cat(Cat(Cat(Cat(Cat(Cat(serverInfo, clientInfo), created), barrier), empty), data),
                         otherEvent), firstSubscriber), gone), owned);
}

}  // namespace

TEST(TorunaProtocolTest, SignalsAreTheSameWhateverTheReadSizes) {
  const std::vector<Recorded> expected = {{Signal::Registered, 0}, {Signal::PublisherReady, 0},
                                          {Signal::Subscribed, 0}, {Signal::Delivery, 200},
                                          {Signal::Owned, 0}};
  for (size_t chunk : {1u, 2u, 3u, 5u, 8u, 1000u}) {
    TorunaProtocol p;
    ParseHarness h(p);
    ASSERT_TRUE(h.Feed(Traffic(), chunk)) << "chunk " << chunk;
    EXPECT_EQ(h.got, expected) << "chunk " << chunk;
    EXPECT_EQ(p.EventId(), 6);  // an owned event is not the one published on
    EXPECT_EQ(h.announced, std::vector<std::string>{"Bo"});
    EXPECT_EQ(h.gone, 1);
    EXPECT_TRUE(h.conn.in.empty());
  }
}

TEST(TorunaProtocolTest, AnnouncedClientsAreNamedByTheBytesAfterTheirId) {
  // The ID may hold marker and type bytes; a name may hold 0 and non-ASCII
  // bytes, and one of 300 bytes needs both length bytes.
  const std::string odd("c1\0\xfc*", 5);
  const std::string longName(300, 'n');
  auto frame = [](int32_t id, const std::string& name) {
    const size_t len = 5 + name.size();
    auto f = Bytes({42, static_cast<int>(len & 0xff), static_cast<int>(len >> 8), 2, id & 0xff,
                    (id >> 8) & 0xff, (id >> 16) & 0xff, (id >> 24) & 0xff});
    return Cat(f, Bytes(name));
  };
  const auto traffic = Cat(Cat(Cat(frame(0x022a082a, odd), frame(3, longName)), frame(4, "")),
                           Bytes({42, 4, 0, 8, 'L', 'a', 'b'}));
  const std::vector<std::string> expected = {odd, longName, ""};
  for (size_t chunk : {1u, 4u, 9u, 1000u}) {
    TorunaProtocol p;
    ParseHarness h(p);
    ASSERT_TRUE(h.Feed(traffic, chunk)) << "chunk " << chunk;
    EXPECT_EQ(h.announced, expected) << "chunk " << chunk;
    EXPECT_EQ(h.got, (std::vector<Recorded>{{Signal::Registered, 0}})) << "chunk " << chunk;
  }
}

TEST(TorunaProtocolTest, ClientInfoWithoutWholeIdIsRejected) {
  TorunaProtocol p;
  ParseHarness h(p);
  EXPECT_FALSE(h.Feed(Bytes({42, 4, 0, 2, 1, 0, 0}), 100));
  EXPECT_TRUE(h.announced.empty());
}

TEST(TorunaProtocolTest, BrokenFramingIsRejected) {
  for (const auto& bad : {Bytes({43, 1, 0, 8}), Bytes({42, 0xff, 0xff, 8}),
                          Bytes({42, 2, 0, 1, 0})}) {  // EventData too short to carry a value
    TorunaProtocol p;
    ParseHarness h(p);
    EXPECT_FALSE(h.Feed(bad, 100));
  }
}

TEST(TorunaProtocolTest, WritesRegistrationSubscriptionAndValueFrames) {
  TorunaProtocol p;
  ParseHarness h(p);
  h.conn.index = 3;
  p.Start(h.conn);
  EXPECT_EQ(h.Written(), std::string("*\x03\x00\x02" "c3", 6));
  // Announcements of this client are recognised by the name it registered with.
  EXPECT_EQ(p.ClientName(h.conn), "c3");

  h.conn.out.clear();
  p.SetEventId(5);
  p.Subscribe(h.conn);
  p.Publish(h.conn, 0x80);
  const std::string subscribe("*\x06\x00\x06\x05\x00\x00\x00\x01", 9);
  const std::string barrier("*\x06\x00\x01\xf0\xff\xff\x7f\x00", 9);
  const std::string value("*\x06\x00\x01\x05\x00\x00\x00\x80", 9);
  EXPECT_EQ(h.Written(), subscribe + barrier + value);

  h.conn.out.clear();
  p.PreparePublisher(h.conn);
  const std::string create = h.Written();
  ASSERT_GE(create.size(), 13u);
  EXPECT_EQ(create[0], '*');
  EXPECT_EQ(create[3], '\x04');
  EXPECT_EQ(static_cast<size_t>(create[1]) + 3, create.size());  // length covers the text

  // An owned event is created like the publisher's, under a request ID of its own.
  h.conn.out.clear();
  p.Own(h.conn);
  const std::string own = h.Written();
  ASSERT_EQ(own.size(), create.size());
  EXPECT_EQ(own.substr(0, 4), create.substr(0, 4));
  EXPECT_EQ(own.substr(4, 4), std::string("\x68\x12\x00\x00", 4));
}
