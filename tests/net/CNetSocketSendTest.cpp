// The send path over a real loopback connection, with the platform's answers
// scripted where the behaviour depends on them.

#include <gtest/gtest.h>

#include <string>
#include <optional>
#include <vector>

#include "LoopbackRig.h"
#include "base/RaisedError.h"

namespace toruna::net::testing {
namespace {

using Bytes = std::vector<uint8_t>;

class CNetSocketSendTest : public ::testing::Test {
 protected:
  void SetUp() override {
    rig.ReportSendBuffer(8192);
    pair = rig.ConnectPair();
    ASSERT_TRUE(pair.server);
    ASSERT_EQ(pair.client->State(), StateConnected);
    events.Attach(pair.client);
    // Record what each send hands over.
    rig.fake.onSend = [this](SocketHandle, const uint8_t* data, int len) -> std::optional<int> {
      handed.insert(handed.end(), data, data + len);
      return std::nullopt;
    };
    rig.fake.sendLengths.clear();
  }

  // Everything the server received so far, after waiting for `count` bytes.
  Bytes ReceiveAtServer(size_t count) {
    EXPECT_TRUE(rig.Pump([&] { return pair.server->BytesReceived() >= int32_t(count); }));
    Variant data;
    pair.server->GetData(data);
    return data.IsEmpty() ? Bytes{} : data.AsBytes();
  }

  LoopbackRig rig;
  LoopbackRig::Pair pair;
  SendEvents events;
  Bytes handed;
};

TEST_F(CNetSocketSendTest, ValuesAreLaidOutLittleEndianAndTextAsOneBytePerCharacter) {
  struct Case {
    Variant value;
    Bytes expected;
  };
  const std::vector<Case> cases = {
      {Variant(int16_t(1)), {0x01, 0x00}},
      {Variant(int16_t(-2)), {0xFE, 0xFF}},
      {Variant(int32_t(1)), {0x01, 0x00, 0x00, 0x00}},
      {Variant(2.5), {0, 0, 0, 0, 0, 0, 0x04, 0x40}},
      {Variant(1.0f), {0x00, 0x00, 0x80, 0x3F}},
      {Variant(true), {0xFF, 0xFF}},
      {Variant(false), {0x00, 0x00}},
      {Variant(uint8_t(200)), {0xC8}},
      {Variant::Currency(10000), {0x10, 0x27, 0, 0, 0, 0, 0, 0}},
      {Variant("Ab"), {0x41, 0x62}},
      {Variant("\xC3\xA9"), {0xE9}},  // U+00E9
      {Variant(Bytes{0x00, 0x2A, 0xFF}), {0x00, 0x2A, 0xFF}},
  };
  for (const Case& c : cases) {
    handed.clear();
    pair.client->SendData(c.value);
    EXPECT_EQ(handed, c.expected) << "type " << c.value.Type();
    EXPECT_EQ(ReceiveAtServer(c.expected.size()), c.expected) << "type " << c.value.Type();
  }
  EXPECT_EQ(events.complete, int(cases.size()));
}

TEST_F(CNetSocketSendTest, UnsupportedKindsRaiseAndEmptyValuesSendNothing) {
  for (const Variant& v : {Variant(), Variant::Null(), Variant::Object(), Variant::Array(vbLong, 2)}) {
    SCOPED_TRACE(v.Type());
    const base::RaisedError e = Raised([&] { pair.client->SendData(v); });
    EXPECT_EQ(e.Number(), 40018);
    EXPECT_EQ(e.Source(), "CNetSocket.SendData");
    EXPECT_EQ(e.Description(), "Unsupported variant type.");
  }
  pair.client->SendData(Variant(""));
  pair.client->SendData(Variant(Bytes{}));
  pair.client->SendBytes(nullptr, 0);
  EXPECT_TRUE(rig.fake.sendLengths.empty());
  EXPECT_EQ(pair.client->UnsentByteCount(), 0u);
  EXPECT_TRUE(events.progress.empty());
  EXPECT_EQ(events.complete, 0);
}

TEST_F(CNetSocketSendTest, TcpObjectThatIsNotConnectedIgnoresSends) {
  auto closed = rig.NewSocket();
  closed->SendData(Variant("x"));
  EXPECT_EQ(closed->State(), StateClosed);
  EXPECT_EQ(closed->UnsentByteCount(), 0u);

  // The peer closed: the client is now closing and must not send.
  pair.server->CloseSck();
  ASSERT_TRUE(rig.Pump([&] { return pair.client->State() == StateClosing; }));
  pair.client->SendData(Variant("late"));
  const uint8_t raw[] = {1, 2, 3};
  pair.client->SendBytes(raw, sizeof raw);
  EXPECT_TRUE(rig.fake.sendLengths.empty());
  EXPECT_EQ(pair.client->UnsentByteCount(), 0u);
}

TEST_F(CNetSocketSendTest, LargeQueueGoesOutInChunksWithOneProgressAndOneComplete) {
  Bytes payload(20000);
  for (size_t i = 0; i < payload.size(); ++i) payload[i] = uint8_t(i * 7);
  pair.client->SendData(Variant(payload));
  EXPECT_EQ(rig.fake.sendLengths, (std::vector<int>{8192, 8192, 3616}));
  EXPECT_EQ(events.progress, (std::vector<std::pair<int32_t, int32_t>>{{20000, 0}}));
  EXPECT_EQ(events.complete, 1);
  EXPECT_EQ(ReceiveAtServer(payload.size()), payload);
}

TEST_F(CNetSocketSendTest, WouldBlockAfterSomeBytesReportsProgressAndFdWriteFinishes) {
  int calls = 0;
  rig.fake.onSend = [&](SocketHandle, const uint8_t*, int) -> std::optional<int> {
    if (++calls == 2) {
      rig.fake.SetError(kErrWouldBlock);
      return -1;
    }
    return std::nullopt;
  };
  Bytes payload(20000, 0x5A);
  pair.client->SendBytes(payload.data(), payload.size());
  EXPECT_EQ(events.progress, (std::vector<std::pair<int32_t, int32_t>>{{8192, 11808}}));
  EXPECT_EQ(events.complete, 0);
  EXPECT_EQ(pair.client->UnsentByteCount(), 11808u);

  // A second send while bytes wait appends behind them without a platform call.
  const size_t before = rig.fake.sendLengths.size();
  const uint8_t tail[] = {0x01, 0x02};
  pair.client->SendBytes(tail, sizeof tail);
  EXPECT_EQ(rig.fake.sendLengths.size(), before);
  EXPECT_EQ(pair.client->UnsentByteCount(), 11810u);

  // The resumed hand-over counts only its own bytes.
  pair.client->WndProc(0, 2049, pair.client->SocketHandle(), kFdWrite);
  EXPECT_EQ(events.progress.back(), (std::pair<int32_t, int32_t>{11810, 0}));
  EXPECT_EQ(events.complete, 1);
  payload.insert(payload.end(), tail, tail + 2);
  EXPECT_EQ(ReceiveAtServer(payload.size()), payload);
}

TEST_F(CNetSocketSendTest, WouldBlockOnTheFirstCallFiresNothing) {
  rig.fake.onSend = [&](SocketHandle, const uint8_t*, int) -> std::optional<int> {
    rig.fake.SetError(kErrWouldBlock);
    return -1;
  };
  pair.client->SendData(Variant("hello"));
  EXPECT_EQ(rig.fake.sendLengths.size(), 1u);
  EXPECT_TRUE(events.progress.empty());
  EXPECT_EQ(events.complete, 0);
  EXPECT_EQ(pair.client->UnsentByteCount(), 5u);
  EXPECT_EQ(pair.client->State(), StateConnected);
}

TEST_F(CNetSocketSendTest, SendFailingWithAnotherCodeReportsErrorAndKeepsTheBytes) {
  std::vector<ErrorSeen> errors;
  pair.client->On().OnError = [&](SocketErrorArgs& e) {
    errors.push_back({e.Number, e.Description, e.Source, e.CancelDisplay});
    e.CancelDisplay = false;  // asks for the message box
  };
  rig.fake.Fail(Call::Send, kErrConnectionReset);
  pair.client->SendData(Variant("abc"));
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_EQ(errors[0].number, 10054);
  EXPECT_EQ(errors[0].description, "Connection reset by peer");
  EXPECT_EQ(errors[0].source, "CNetSocket.SendBufferedData");
  EXPECT_TRUE(errors[0].cancelDisplay);
  EXPECT_EQ(pair.client->State(), StateError);
  EXPECT_EQ(pair.client->UnsentByteCount(), 3u);
  ASSERT_EQ(rig.alerts.shown.size(), 1u);
  EXPECT_EQ(rig.alerts.shown[0].second, "CNetSocket.SendBufferedData");
  EXPECT_TRUE(events.progress.empty());
  // The object stays in StateError: later sends are ignored and CloseSck discards.
  rig.fake.Clear(Call::Send);
  pair.client->SendData(Variant("more"));
  EXPECT_EQ(pair.client->UnsentByteCount(), 3u);
  pair.client->CloseSck();
  EXPECT_EQ(pair.client->UnsentByteCount(), 0u);
}

TEST_F(CNetSocketSendTest, SendCompleteHandlerMaySendAgainInOrder) {
  int rounds = 0;
  pair.client->On().OnSendComplete = [&] {
    if (++rounds < 3) pair.client->SendData(Variant(std::string(1, char('a' + rounds))));
  };
  pair.client->SendData(Variant("a"));
  EXPECT_EQ(rounds, 3);
  EXPECT_EQ(ReceiveAtServer(3), (Bytes{'a', 'b', 'c'}));
}

TEST_F(CNetSocketSendTest, HandlerReleasingTheLastReferenceDuringAFlushIsSafe) {
  std::weak_ptr<CNetSocket> watch = pair.client;
  pair.client->On().OnSendComplete = [&] { pair.client.reset(); };
  CNetSocket* raw = pair.client.get();
  raw->SendData(Variant("bye"));
  EXPECT_TRUE(watch.expired());
  EXPECT_EQ(handed, (Bytes{'b', 'y', 'e'}));
  // The released object closed its connection.
  EXPECT_TRUE(rig.Pump([&] { return pair.server->State() == StateClosing; }));
}

}  // namespace
}  // namespace toruna::net::testing
