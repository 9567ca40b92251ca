#include "NatsProtocol.h"

#include <gtest/gtest.h>

#include "ParseHarness.h"

using namespace loadgen;
using namespace loadgen::test;

TEST(NatsProtocolTest, HandshakeSubscriptionAndDeliveriesAtAnyReadSize) {
  // Payloads that look like line ends must be taken by their size.
  const auto traffic =
      Cat(Cat(Bytes("INFO {\"server_id\":\"x\"}\r\n+OK\r\nPONG\r\nINFO {}\r\nPONG\r\n"),
              Bytes("MSG t 1 1\r\n\r\r\nMSG t 1 1\r\n\n\r\nPING\r\n")),
          Bytes("MSG t 1 reply.to 1\r\nZ\r\n"));
  const std::vector<Recorded> expected = {{Signal::Registered, 0}, {Signal::Subscribed, 0},
                                          {Signal::Delivery, '\r'}, {Signal::Delivery, '\n'},
                                          {Signal::Delivery, 'Z'}};
  for (size_t chunk : {1u, 2u, 4u, 11u, 1000u}) {
    NatsProtocol p;
    ParseHarness h(p);
    ASSERT_TRUE(h.Feed(traffic, chunk)) << "chunk " << chunk;
    EXPECT_EQ(h.got, expected) << "chunk " << chunk;
    const std::string out = h.Written();
    // CONNECT once (the second INFO is an update), and the server's PING answered.
    EXPECT_EQ(out.find("CONNECT {"), 0u);
    EXPECT_EQ(out.find("CONNECT", 1), std::string::npos);
    EXPECT_NE(out.find("\"verbose\":false"), std::string::npos);
    EXPECT_EQ(out.substr(out.size() - 6), "PONG\r\n");
  }
}

TEST(NatsProtocolTest, ErrorsAndBadLinesAreRejected) {
  for (const auto& bad : {Bytes("-ERR 'Authorization Violation'\r\n"), Bytes("MSG t 1 x\r\nA\r\n"),
                          Bytes("PONG\rX")}) {
    NatsProtocol p;
    ParseHarness h(p);
    EXPECT_FALSE(h.Feed(bad, 100));
  }
}

TEST(NatsProtocolTest, WritesSubscribeWithBarrierAndPublish) {
  NatsProtocol p;
  ParseHarness h(p);
  p.Subscribe(h.conn);
  p.Publish(h.conn, 'q');
  EXPECT_EQ(h.Written(), "SUB t 1\r\nPING\r\nPUB t 1\r\nq\r\n");
}

TEST(NatsProtocolTest, OwningIsASubjectOfItsOwnWhosePongSignalsOwned) {
  NatsProtocol p;
  ParseHarness h(p);
  h.conn.index = 7;
  ASSERT_TRUE(h.Feed(Bytes("INFO {}\r\nPONG\r\n"), 100));
  h.conn.out.clear();
  p.Own(h.conn);
  EXPECT_EQ(h.Written(), "SUB o7 2\r\nPING\r\n");
  ASSERT_TRUE(h.Feed(Bytes("PONG\r\n"), 100));
  const std::vector<Recorded> expected = {{Signal::Registered, 0}, {Signal::Owned, 0}};
  EXPECT_EQ(h.got, expected);
}
