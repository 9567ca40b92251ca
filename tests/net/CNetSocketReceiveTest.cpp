// The receive path: the kinds of value GetData and PeekData build, their
// length rules and gates, and TCP queueing (datagrams: CNetSocketUdpReceiveTest).

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "LoopbackRig.h"
#include "base/RaisedError.h"

namespace toruna::net::testing {
namespace {

using Bytes = std::vector<uint8_t>;

class CNetSocketReceiveTest : public ::testing::Test {
 protected:
  void SetUp() override {
    pair = rig.ConnectPair();
    ASSERT_TRUE(pair.server);
    ASSERT_EQ(pair.server->State(), StateConnected);
    pair.server->On().OnDataArrival = [this](int32_t total) { arrivals.push_back(total); };
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

TEST_F(CNetSocketReceiveTest, TextTakesAllOrMaxLenAndPeekLeavesTheQueue) {
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

TEST_F(CNetSocketReceiveTest, KindComesFromTheVariableThenVarTypeThenByteArray) {
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

TEST_F(CNetSocketReceiveTest, NumbersNeedTheirWholeSizeAndIgnoreMaxLen) {
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

TEST_F(CNetSocketReceiveTest, MaxLenRules) {
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

TEST_F(CNetSocketReceiveTest, GatesRefuseOutsideTheConnectedState) {
  std::vector<ErrorSeen> errors;
  pair.server->On().OnError = [&](SocketErrorArgs& e) {
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
  closed->On().OnError = [&](SocketErrorArgs& a) { fired += a.Number == 40006; };
  closed->GetData(text);
  EXPECT_EQ(fired, 1);
  EXPECT_THROW(closed->PeekData(text), base::RaisedError);
}

TEST_F(CNetSocketReceiveTest, FailedReadReportsWithoutBoxAndEntersError) {
  std::vector<ErrorSeen> errors;
  pair.server->On().OnError = [&](SocketErrorArgs& e) {
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

}  // namespace
}  // namespace toruna::net::testing
