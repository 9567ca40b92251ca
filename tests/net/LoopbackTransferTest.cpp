// Whole transfers through two socket objects over 127.0.0.1: large streams in
// both directions (several would-blocks and FD_WRITE resumptions), and a UDP
// request with its reply to the sender's address.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "LoopbackRig.h"

namespace toruna::net::testing {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes Pattern(size_t size, uint8_t seed) {
  Bytes b(size);
  uint32_t x = seed * 2654435761u + 1;
  for (auto& v : b) {
    x = x * 1103515245u + 12345u;
    v = uint8_t(x >> 16);
  }
  return b;
}

// Collects everything a socket receives as it arrives.
void Drain(const std::shared_ptr<CNetSocket>& s, Bytes& into) {
  std::weak_ptr<CNetSocket> weak = s;
  s->On().OnDataArrival = [weak, &into](int32_t) {
    auto self = weak.lock();
    Variant chunk;
    self->GetData(chunk);
    const Bytes& b = chunk.AsBytes();
    into.insert(into.end(), b.begin(), b.end());
  };
}

TEST(LoopbackTransferTest, LargeStreamsArriveWholeAndInOrderBothWays) {
  LoopbackRig rig;
  auto pair = rig.ConnectPair();
  ASSERT_TRUE(pair.server);
  Bytes atServer, atClient;
  Drain(pair.server, atServer);
  Drain(pair.client, atClient);
  int clientCompletes = 0, serverCompletes = 0;
  int64_t clientProgress = 0;
  pair.client->On().OnSendComplete = [&] { ++clientCompletes; };
  pair.client->On().OnSendProgress = [&](int32_t sent, int32_t) { clientProgress += sent; };
  pair.server->On().OnSendComplete = [&] { ++serverCompletes; };

  const Bytes up = Pattern(4 << 20, 1);
  const Bytes down = Pattern(3 << 20, 2);
  // Several sends, queued behind each other while the platform is full.
  for (size_t off = 0; off < up.size(); off += 1 << 20) {
    pair.client->SendBytes(up.data() + off, 1 << 20);
  }
  pair.server->SendData(Variant(down));
  ASSERT_TRUE(rig.Pump([&] { return atServer.size() >= up.size() && atClient.size() >= down.size(); },
                       60000));
  EXPECT_TRUE(atServer == up);
  EXPECT_TRUE(atClient == down);
  EXPECT_GE(clientCompletes, 1);
  EXPECT_GE(serverCompletes, 1);
  // Every byte is reported once by SendProgress.
  EXPECT_EQ(clientProgress, int64_t(up.size()));
  EXPECT_EQ(pair.client->UnsentByteCount(), 0u);
  EXPECT_EQ(pair.server->UnsentByteCount(), 0u);
}

TEST(LoopbackTransferTest, UdpRequestIsAnsweredAtTheSendersAddress) {
  LoopbackRig rig;
  auto responder = rig.NewSocket(ProtocolUdp);
  responder->Bind(Variant(0), Variant("127.0.0.1"));
  responder->On().OnDataArrival = [&](int32_t) {
    Variant request{std::string()};
    responder->GetData(request);
    responder->SetRemoteHost(responder->RemoteHostIP());
    responder->SetRemotePort(responder->RemotePort());
    responder->SendData(Variant("re:" + request.AsString()));
  };
  auto asker = rig.NewSocket(ProtocolUdp);
  asker->Bind(Variant(0), Variant("127.0.0.1"));
  std::vector<std::string> answers;
  asker->On().OnDataArrival = [&](int32_t) {
    Variant answer{std::string()};
    asker->GetData(answer);
    answers.push_back(answer.AsString());
  };
  asker->SetRemoteHost("127.0.0.1");
  asker->SetRemotePort(responder->LocalPort());
  asker->SendData(Variant("one"));
  asker->SendData(Variant("two"));
  ASSERT_TRUE(rig.Pump([&] { return answers.size() == 2; }));
  EXPECT_EQ(answers, (std::vector<std::string>{"re:one", "re:two"}));
  EXPECT_EQ(asker->RemotePort(), responder->LocalPort());
  EXPECT_EQ(responder->State(), StateOpen);
}

}  // namespace
}  // namespace toruna::net::testing
