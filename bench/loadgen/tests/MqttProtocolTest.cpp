#include "MqttProtocol.h"

#include <gtest/gtest.h>

#include "ParseHarness.h"

using namespace loadgen;
using namespace loadgen::test;

namespace {

std::vector<uint8_t> Publish(const std::string& topic, uint8_t value, int qosBits = 0) {
  std::vector<uint8_t> body = {static_cast<uint8_t>(topic.size() >> 8),
                               static_cast<uint8_t>(topic.size() & 0xff)};
  body.insert(body.end(), topic.begin(), topic.end());
  if (qosBits) body.insert(body.end(), {0, 9});  // packet id
  body.push_back(value);
  std::vector<uint8_t> p = {static_cast<uint8_t>(0x30 | qosBits << 1)};
  size_t len = body.size();
  do {
    uint8_t b = len % 128;
    len /= 128;
    p.push_back(len ? b | 0x80 : b);
  } while (len);
  return Cat(p, body);
}

}  // namespace

TEST(MqttProtocolTest, SignalsAreTheSameWhateverTheReadSizes) {
  const auto traffic = Cat(Cat(Cat(Cat(Bytes({0x20, 2, 0, 0}), Bytes({0x90, 3, 0, 1, 0})),
                                   Publish("t", 7)),
                               Publish(std::string(200, 'x'), 0x0d)),  // 2-byte remaining length
                           Cat(Cat(Bytes({0xd0, 0}), Publish("t", 9, 1)), Bytes({0x90, 3, 0, 2, 0})));
  const std::vector<Recorded> expected = {{Signal::Registered, 0}, {Signal::Subscribed, 0},
                                          {Signal::Delivery, 7}, {Signal::Delivery, 0x0d},
                                          {Signal::Delivery, 9}, {Signal::Owned, 0}};
  for (size_t chunk : {1u, 2u, 3u, 7u, 1000u}) {
    MqttProtocol p;
    ParseHarness h(p);
    ASSERT_TRUE(h.Feed(traffic, chunk)) << "chunk " << chunk;
    EXPECT_EQ(h.got, expected) << "chunk " << chunk;
    EXPECT_TRUE(h.conn.in.empty());
  }
}

TEST(MqttProtocolTest, RefusalsAndMalformedPacketsAreRejected) {
  for (const auto& bad : {Bytes({0x20, 2, 0, 5}),                 // connection refused
                          Bytes({0x90, 3, 0, 1, 0x80}),           // subscription refused
                          Bytes({0x30, 0xff, 0xff, 0xff, 0xff, 1}),  // 5-byte length
                          Bytes({0x30, 3, 0, 1, 't'})}) {          // no payload
    MqttProtocol p;
    ParseHarness h(p);
    EXPECT_FALSE(h.Feed(bad, 100));
  }
}

TEST(MqttProtocolTest, WritesConnectSubscribeAndPublish) {
  MqttProtocol p;
  ParseHarness h(p);
  h.conn.index = 12;
  p.Start(h.conn);
  const std::string connect = h.Written();
  const std::string id = "c12";
  ASSERT_EQ(connect.size(), 2 + 10 + 2 + id.size());
  EXPECT_EQ(connect[0], '\x10');
  EXPECT_EQ(static_cast<size_t>(connect[1]), connect.size() - 2);
  EXPECT_EQ(connect.substr(2, 7), std::string("\0\x04MQTT\x04", 7));
  EXPECT_EQ(connect.substr(connect.size() - id.size()), id);

  h.conn.out.clear();
  p.Subscribe(h.conn);
  p.Publish(h.conn, 0xfe);
  EXPECT_EQ(h.Written(), std::string("\x82\x06\x00\x01\x00\x01t\x00" "\x30\x04\x00\x01t\xfe", 14));

  // A topic of its own, under packet id 2, which tells its SUBACK apart.
  h.conn.out.clear();
  p.Own(h.conn);
  EXPECT_EQ(h.Written(), std::string("\x82\x08\x00\x02\x00\x03o12\x00", 10));
}
