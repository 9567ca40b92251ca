// The receive path: the kinds of value GetData and PeekData build, their
// length rules and gates, TCP queueing and the UDP datagram rules.

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

class TcpReceiveTest : public ::testing::Test {
 protected:
  void SetUp() override {
    pair = rig.ConnectPair();
    ASSERT_TRUE(pair.server);
    ASSERT_EQ(pair.server->State(), StateConnected);
    pair.server->OnDataArrival = [this](int32_t total) { arrivals.push_back(total); };
  }

  // Sends bytes from the client and waits until the server has queued `total`.
  void Deliver(const Bytes& bytes, int32_t total) {
    pair.client->SendData(Variant(bytes));
    ASSERT_TRUE(rig.Pump([&] { return pair.server->BytesReceived() >= total; }));
    ASSERT_EQ(pair.server->BytesReceived(), total);
  }
  void DeliverHello() { Deliver({0x48, 0x65, 0x6C, 0x6C, 0x6F}, 5); }


  LoopbackRig rig;
  LoopbackRig::Pair pair;
  std::vector<int32_t> arrivals;
};

TEST_F(TcpReceiveTest, TextTakesAllOrMaxLenAndPeekLeavesTheQueue) {
  DeliverHello();
  Variant text{std::string()};
  pair.server->PeekData(text);
  EXPECT_EQ(text.AsString(), "Hello");
  EXPECT_EQ(pair.server->BytesReceived(), 5);

  Variant maxLen{int32_t(2)};
  pair.server->GetData(text, nullptr, &maxLen);
  EXPECT_EQ(text.AsString(), "He");
  EXPECT_EQ(pair.server->BytesReceived(), 3);

  pair.server->GetData(text);
  EXPECT_EQ(text.AsString(), "llo");
  EXPECT_EQ(pair.server->BytesReceived(), 0);

  // Nothing left: the value becomes empty.
  pair.server->GetData(text);
  EXPECT_EQ(text.Type(), vbString);
  EXPECT_EQ(text.AsString(), "");
}

TEST_F(TcpReceiveTest, KindComesFromTheVariableThenVarTypeThenByteArray) {
  Deliver({0xE9, 0x41, 0x42, 0x43}, 4);
  Variant data;
  Variant varType{int32_t(vbString)};
  Variant one{int32_t(1)};
  pair.server->GetData(data, &varType, &one);
  ASSERT_EQ(data.Type(), vbString);
  EXPECT_EQ(data.AsString(), "\xC3\xA9");  // byte E9 is U+00E9

  Variant empty;
  pair.server->GetData(empty, nullptr, &one);
  ASSERT_EQ(empty.Type(), vbByteArray);
  EXPECT_EQ(empty.AsBytes(), (Bytes{0x41}));

  // A byte-array variable stays a byte array and varType is told so.
  Variant bytes(Bytes{});
  Variant asked{int32_t(vbString)};
  pair.server->GetData(bytes, &asked);
  ASSERT_EQ(bytes.Type(), vbByteArray);
  EXPECT_EQ(bytes.AsBytes(), (Bytes{0x42, 0x43}));
  EXPECT_EQ(asked.AsLong(), vbByteArray);
}

TEST_F(TcpReceiveTest, NumbersNeedTheirWholeSizeAndIgnoreMaxLen) {
  Deliver({0x01, 0x00, 0x00}, 3);
  Variant number{int32_t(77)};
  pair.server->GetData(number);
  EXPECT_EQ(number.AsLong(), 77);
  EXPECT_EQ(pair.server->BytesReceived(), 3);

  Deliver({0x00}, 4);
  Variant maxLen{int32_t(1)};
  pair.server->GetData(number, nullptr, &maxLen);
  EXPECT_EQ(number.AsLong(), 1);
  EXPECT_EQ(pair.server->BytesReceived(), 0);

  Deliver({0, 0, 0, 0, 0, 0, 0x04, 0x40}, 8);
  Variant real;
  Variant dbl{int32_t(vbDouble)};
  pair.server->PeekData(real, &dbl);
  ASSERT_EQ(real.Type(), vbDouble);
  EXPECT_EQ(real.AsDouble(), 2.5);
  EXPECT_EQ(pair.server->BytesReceived(), 8);
  Variant again;
  pair.server->GetData(again, &dbl);
  EXPECT_EQ(again, real);
  EXPECT_EQ(pair.server->BytesReceived(), 0);
}

TEST_F(TcpReceiveTest, MaxLenRules) {
  DeliverHello();
  Variant data;
  Variant negative{int32_t(-1)};
  base::RaisedError e = Raised([&] { pair.server->GetData(data, nullptr, &negative); });
  EXPECT_EQ(e.Number(), 40014);
  EXPECT_EQ(e.Source(), "CNetSocket.GetData");
  e = Raised([&] { pair.server->PeekData(data, nullptr, &negative); });
  EXPECT_EQ(e.Number(), 40014);
  EXPECT_EQ(e.Source(), "CNetSocket.PeekData");
  EXPECT_EQ(pair.server->BytesReceived(), 5);

  // maxLen 0 on TCP: an empty value, nothing removed, nothing reported.
  Variant zero{int32_t(0)};
  Variant text{std::string("old")};
  pair.server->GetData(text, nullptr, &zero);
  EXPECT_EQ(text.AsString(), "");
  EXPECT_EQ(pair.server->BytesReceived(), 5);

  // A non-numeric maxLen takes everything and tells the caller the count.
  Variant words("all of it");
  pair.server->GetData(text, nullptr, &words);
  EXPECT_EQ(text.AsString(), "Hello");
  EXPECT_EQ(words.Type(), vbLong);
  EXPECT_EQ(words.AsLong(), 5);

  Variant object;
  Variant badKind{int32_t(vbObject)};
  Deliver({1}, 1);
  e = Raised([&] { pair.server->GetData(object, &badKind, nullptr); });
  EXPECT_EQ(e.Number(), 40018);
  EXPECT_EQ(e.Source(), "CNetSocket.RecvData");
  EXPECT_EQ(pair.server->BytesReceived(), 1);
}

TEST_F(TcpReceiveTest, GatesRefuseOutsideTheConnectedState) {
  std::vector<ErrorSeen> errors;
  pair.server->OnError = [&](SocketErrorArgs& e) {
    errors.push_back({e.Number, e.Description, e.Source, e.CancelDisplay});
    e.CancelDisplay = false;  // must still not show a box
  };
  Deliver({0x61, 0x62}, 2);
  pair.client->CloseSck();
  ASSERT_TRUE(rig.Pump([&] { return pair.server->State() == StateClosing; }));

  Variant text{std::string("keep")};
  pair.server->GetData(text);
  EXPECT_EQ(text.AsString(), "keep");
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_EQ(errors[0].number, 40006);
  EXPECT_EQ(errors[0].description,
            "Wrong protocol or connection state for the requested transaction or request");
  EXPECT_EQ(errors[0].source, "");
  EXPECT_FALSE(errors[0].cancelDisplay);
  EXPECT_TRUE(rig.alerts.shown.empty());

  base::RaisedError e = Raised([&] { pair.server->PeekData(text, nullptr, nullptr); });
  EXPECT_EQ(e.Number(), 40006);
  EXPECT_EQ(e.Source(), "CNetSocket.PeekData");
  EXPECT_EQ(text.AsString(), "keep");
  EXPECT_EQ(pair.server->BytesReceived(), 2);

  // A closed object refuses in the same two ways.
  auto closed = rig.NewSocket();
  int fired = 0;
  closed->OnError = [&](SocketErrorArgs& a) { fired += a.Number == 40006; };
  closed->GetData(text);
  EXPECT_EQ(fired, 1);
  EXPECT_THROW(closed->PeekData(text), base::RaisedError);
}

TEST_F(TcpReceiveTest, FailedReadReportsWithoutBoxAndEntersError) {
  std::vector<ErrorSeen> errors;
  pair.server->OnError = [&](SocketErrorArgs& e) {
    errors.push_back({e.Number, e.Description, e.Source, e.CancelDisplay});
    e.CancelDisplay = false;
  };
  rig.fake.Fail(Call::Recv, kErrConnectionReset);
  pair.client->SendData(Variant("x"));
  ASSERT_TRUE(rig.Pump([&] { return !errors.empty(); }));
  rig.fake.Clear(Call::Recv);
  EXPECT_EQ(errors[0].number, 10054);
  EXPECT_EQ(errors[0].source, "");
  EXPECT_FALSE(errors[0].cancelDisplay);
  EXPECT_TRUE(rig.alerts.shown.empty());
  EXPECT_EQ(pair.server->State(), StateError);
  EXPECT_TRUE(arrivals.empty());
}

class UdpReceiveTest : public ::testing::Test {
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

TEST_F(UdpReceiveTest, EachDatagramIsTakenWholeWithItsSender) {
  std::vector<std::string> got;
  std::vector<int32_t> totals;
  receiver->OnDataArrival = [&](int32_t total) {
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

TEST_F(UdpReceiveTest, NumberFromALongerDatagramRaisesMessageTooLong) {
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

TEST_F(UdpReceiveTest, PeekLeavesTheDatagramAndEmptyReceiveDoesNothing) {
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

TEST_F(UdpReceiveTest, MaxLenZeroDropsOnlyTheCurrentDatagram) {
  std::vector<std::string> got;
  int raised = 0;
  receiver->OnDataArrival = [&](int32_t) {
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

TEST_F(UdpReceiveTest, GatesOfAnObjectThatIsNotOpen) {
  auto fresh = rig.NewSocket(ProtocolUdp);
  int fired = 0;
  fresh->OnError = [&](SocketErrorArgs& e) { fired += e.Number == 40006 && e.Source.empty(); };
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
