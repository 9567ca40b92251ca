// The receive path of a UDP object: one datagram per read, the rules of
// GetData and PeekData on datagrams.

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "LoopbackRig.h"
#include "base/RaisedError.h"

namespace toruna::net::testing {
namespace {

using Bytes = std::vector<uint8_t>;

class CNetSocketUdpReceiveTest : public ::testing::Test {
 protected:
  void SetUp() override {
    receiver = rig.NewSocket(ProtocolUdp);
    receiver->Bind(Variant(0), Variant("127.0.0.1"));
    sender = rig.NewSocket(ProtocolUdp);
    sender->SetRemoteHost("127.0.0.1");
    sender->SetRemotePort(receiver->LocalPort());
  }
  void Send(const std::string& text) { sender->SendData(Variant(text)); }
  // Waits until the receiver holds a datagram, without running the loop (its
  // read notification would drop a datagram nobody takes).
  void AwaitPending() {
    for (int i = 0; i < 1000; ++i) {
      uint32_t n = 0;
      if (rig.real.PendingBytes(receiver->SocketHandle(), &n) == 0 && n > 0) return;
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    FAIL() << "no datagram arrived";
  }

  LoopbackRig rig;
  std::shared_ptr<CNetSocket> receiver;
  std::shared_ptr<CNetSocket> sender;
};

TEST_F(CNetSocketUdpReceiveTest, EachDatagramIsTakenWholeWithItsSender) {
  std::vector<std::string> got;
  std::vector<int32_t> totals;
  receiver->On().OnDataArrival = [&](int32_t total) {
    totals.push_back(total);
    Variant text{std::string()};
    receiver->GetData(text);
    got.push_back(text.AsString());
    EXPECT_EQ(receiver->RemoteHostIP(), "127.0.0.1");
    EXPECT_EQ(receiver->RemotePort(), sender->LocalPort());
    EXPECT_EQ(receiver->RemoteHost(), "");
  };
  receiver->SetRemoteHost("someone");
  // Two datagrams wait together: each is handed over on its own.
  Send("hello world!");
  Send("a longer datagram, 32 bytes....");
  ASSERT_TRUE(rig.Pump([&] { return got.size() == 2; }));
  EXPECT_EQ(got[0], "hello world!");
  EXPECT_EQ(got[1], "a longer datagram, 32 bytes....");
  EXPECT_EQ(totals[0], 12);
  rig.Settle();
  EXPECT_EQ(got.size(), 2u);
}

TEST_F(CNetSocketUdpReceiveTest, NumberFromALongerDatagramRaisesMessageTooLong) {
  Send("0123456789");
  AwaitPending();
  Variant number{int32_t(0)};
  const base::RaisedError e = Raised([&] { receiver->GetData(number); });
  EXPECT_EQ(e.Number(), 10040);
  EXPECT_EQ(e.Description(), "Message too long");
  EXPECT_EQ(e.Source(), "CNetSocket.RecvData");
  EXPECT_EQ(number.AsLong(), 0x33323130);  // "0123"
  EXPECT_EQ(receiver->BytesReceived(), 0);
}

TEST_F(CNetSocketUdpReceiveTest, PeekLeavesTheDatagramAndEmptyReceiveDoesNothing) {
  Variant text{std::string("unchanged")};
  receiver->GetData(text);
  EXPECT_EQ(text.AsString(), "unchanged");

  Send("peek me");
  AwaitPending();
  receiver->PeekData(text);
  EXPECT_EQ(text.AsString(), "peek me");
  EXPECT_EQ(receiver->BytesReceived(), 7);
  Variant bytes;
  receiver->GetData(bytes);
  EXPECT_EQ(bytes.AsBytes(), (Bytes{'p', 'e', 'e', 'k', ' ', 'm', 'e'}));
  EXPECT_EQ(receiver->BytesReceived(), 0);
}

TEST_F(CNetSocketUdpReceiveTest, MaxLenZeroDropsOnlyTheCurrentDatagram) {
  std::vector<std::string> got;
  int raised = 0;
  receiver->On().OnDataArrival = [&](int32_t) {
    Variant text{std::string()};
    Variant zero{int32_t(0)};
    if (raised == 0) {
      try {
        receiver->GetData(text, nullptr, &zero);
      } catch (const base::RaisedError& e) {
        raised += e.Number() == 10040;
      }
      EXPECT_EQ(text.AsString(), "");
      return;
    }
    receiver->GetData(text);
    got.push_back(text.AsString());
  };
  Send("first");
  Send("second");
  ASSERT_TRUE(rig.Pump([&] { return !got.empty(); }));
  EXPECT_EQ(raised, 1);
  EXPECT_EQ(got, (std::vector<std::string>{"second"}));
}

TEST_F(CNetSocketUdpReceiveTest, GatesOfAnObjectThatIsNotOpen) {
  auto fresh = rig.NewSocket(ProtocolUdp);
  int fired = 0;
  fresh->On().OnError = [&](SocketErrorArgs& e) { fired += e.Number == 40006 && e.Source.empty(); };
  Variant data;
  fresh->GetData(data);
  EXPECT_EQ(fired, 1);
  EXPECT_TRUE(data.IsEmpty());
  const base::RaisedError e = Raised([&] { fresh->PeekData(data); });
  EXPECT_EQ(e.Number(), 40006);
  EXPECT_EQ(e.Source(), "CNetSocket.PeekData");
}

}  // namespace
}  // namespace toruna::net::testing
