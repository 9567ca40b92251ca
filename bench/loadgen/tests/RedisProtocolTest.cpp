#include "RedisProtocol.h"

#include <gtest/gtest.h>

#include "ParseHarness.h"

using namespace loadgen;
using namespace loadgen::test;

namespace {

std::string Push(const std::string& kind, const std::string& channel, const std::string& last) {
  auto bulk = [](const std::string& s) { return "$" + std::to_string(s.size()) + "\r\n" + s + "\r\n"; };
  return "*3\r\n" + bulk(kind) + bulk(channel) + last;
}

}  // namespace

TEST(RedisProtocolTest, SignalsAreTheSameWhateverTheReadSizes) {
  // Values that look like line ends are taken by their bulk length; the
  // publisher's receiver counts and unknown pushes pass by.
  const std::string traffic = "+PONG\r\n" + Push("subscribe", "t", ":1\r\n") + ":10\r\n" +
                              Push("message", "t", "$1\r\n\r\r\n") +
                              Push("message", "t", "$1\r\n\n\r\n") +
                              Push("unsubscribe", "x", ":0\r\n") +
                              Push("subscribe", "o4", ":2\r\n") + Push("message", "t", "$1\r\n\xff\r\n");
  const std::vector<Recorded> expected = {{Signal::Registered, 0}, {Signal::Subscribed, 0},
                                          {Signal::Delivery, '\r'}, {Signal::Delivery, '\n'},
                                          {Signal::Owned, 0}, {Signal::Delivery, 0xff}};
  for (size_t chunk : {1u, 2u, 5u, 13u, 1000u}) {
    RedisProtocol p;
    ParseHarness h(p);
    ASSERT_TRUE(h.Feed(Bytes(traffic), chunk)) << "chunk " << chunk;
    EXPECT_EQ(h.got, expected) << "chunk " << chunk;
    EXPECT_TRUE(h.conn.in.empty());
  }
}

TEST(RedisProtocolTest, ErrorsAndBrokenRepliesAreRejected) {
  for (const std::string& bad : {std::string("-ERR unknown command\r\n"),
                                std::string("*2\r\n$9\r\nsubscribe\r\n$1\r\nt\r\n"),  // not 3 items
                                Push("message", "t", "$1\r\nAB\r\n"),   // bulk longer than said
                                Push("message", "u", "$1\r\nA\r\n"),    // a channel never asked for
                                std::string("+PONG\rX"), std::string("\r\n")}) {
    RedisProtocol p;
    ParseHarness h(p);
    EXPECT_FALSE(h.Feed(Bytes(bad), 100)) << bad;
  }
}

TEST(RedisProtocolTest, WritesPingSubscribeOwnAndBinarySafePublish) {
  RedisProtocol p;
  ParseHarness h(p);
  h.conn.index = 4;
  p.Start(h.conn);
  p.Subscribe(h.conn);
  p.Own(h.conn);
  p.Publish(h.conn, '\n');
  EXPECT_EQ(h.Written(),
            "PING\r\n"
            "*2\r\n$9\r\nSUBSCRIBE\r\n$1\r\nt\r\n"
            "*2\r\n$9\r\nSUBSCRIBE\r\n$2\r\no4\r\n"
            "*3\r\n$7\r\nPUBLISH\r\n$1\r\nt\r\n$1\r\n\n\r\n");
  EXPECT_FALSE(p.Registers());
}
