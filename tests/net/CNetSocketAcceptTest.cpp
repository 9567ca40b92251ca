// Listening, the hand-over of an accepted connection from its temporary holder
// to the owner's object, and the ways that can fail.

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>

#include <fstream>
#include <string>
#include <vector>

#include "LoopbackRig.h"
#include "base/RaisedError.h"

namespace toruna::net::testing {
namespace {

using Bytes = std::vector<uint8_t>;

class CNetSocketAcceptTest : public ::testing::Test {
 protected:
  void SetUp() override {
    listener = rig.NewListener();
    ASSERT_TRUE(listener);
    client = rig.NewSocket();
    client->On().OnCloseSck = [this] { ++clientCloses; };
  }
  void ConnectClient() {
    client->Connect(Variant("127.0.0.1"), Variant(listener->LocalPort()));
  }
  bool AwaitRequest() { return rig.Pump([&] { return requests > 0; }); }

  LoopbackRig rig;
  std::shared_ptr<CNetSocket> listener;
  std::shared_ptr<CNetSocket> client;
  std::shared_ptr<CNetSocket> owner;
  int requests = 0;
  int clientCloses = 0;
};

TEST_F(CNetSocketAcceptTest, ListenOnlyFromClosedOrOpen) {
  EXPECT_EQ(listener->State(), StateListening);
  EXPECT_NE(listener->LocalPort(), 0);
  EXPECT_FALSE(listener->Listen());
  EXPECT_EQ(listener->State(), StateListening);

  auto fresh = rig.NewSocket();
  EXPECT_TRUE(fresh->Listen());
  EXPECT_EQ(fresh->State(), StateListening);
  EXPECT_NE(fresh->LocalPort(), 0);
  // With the largest backlog the system allows (TCP_INFO reports a listener's
  // backlog in tcpi_sacked).
  tcp_info info{};
  socklen_t len = sizeof info;
  ASSERT_EQ(getsockopt(fresh->SocketHandle(), IPPROTO_TCP, TCP_INFO, &info, &len), 0);
  std::ifstream somaxconn("/proc/sys/net/core/somaxconn");
  uint32_t limit = 0;
  ASSERT_TRUE(somaxconn >> limit);
  EXPECT_EQ(info.tcpi_sacked, limit);

  // A datagram socket cannot listen; neither can a refused stream socket. Neither
  // is reported, and the state stays as it was.
  auto udp = rig.NewSocket(ProtocolUdp);
  EXPECT_FALSE(udp->Listen());
  EXPECT_EQ(udp->State(), StateClosed);
  auto refused = rig.NewSocket();
  rig.fake.Fail(Call::Listen, 10048);
  EXPECT_FALSE(refused->Listen());
  EXPECT_EQ(refused->State(), StateClosed);
  rig.fake.Clear(Call::Listen);

  // A connected object does not listen and keeps its connection.
  auto pair = rig.ConnectPair();
  ASSERT_TRUE(pair.server);
  const int calls = rig.fake.Calls(Call::Listen);
  EXPECT_FALSE(pair.server->Listen());
  EXPECT_EQ(rig.fake.Calls(Call::Listen), calls);
  EXPECT_EQ(pair.server->State(), StateConnected);
}

TEST_F(CNetSocketAcceptTest, OwnerTakesTheConnectionDuringConnectionRequest) {
  listener->SetTag("listener");
  std::string ipDuring;
  int32_t portDuring = -1;
  listener->On().OnConnectionRequest = [&](int32_t id) {
    ++requests;
    ipDuring = listener->RemoteHostIP();
    portDuring = listener->RemotePort();
    owner = rig.NewSocket();
    owner->Accept(id);
    EXPECT_EQ(owner->SocketHandle(), id);
  };
  ConnectClient();
  ASSERT_TRUE(AwaitRequest());
  ASSERT_TRUE(rig.Pump([&] { return client->State() == StateConnected; }));
  EXPECT_EQ(ipDuring, "127.0.0.1");
  EXPECT_EQ(portDuring, client->LocalPort());
  // The listening object shows its own values again.
  EXPECT_EQ(listener->RemoteHostIP(), "");
  EXPECT_EQ(listener->RemotePort(), 0);

  EXPECT_EQ(owner->State(), StateConnected);
  EXPECT_EQ(owner->RemoteHostIP(), "127.0.0.1");
  EXPECT_EQ(owner->RemotePort(), client->LocalPort());
  EXPECT_EQ(owner->RemoteHost(), "");
  EXPECT_EQ(owner->LocalPort(), listener->LocalPort());
  EXPECT_FALSE(rig.module.AcceptedSocketIsHeld(owner->SocketHandle()));

  // Traffic reaches the owner, and releasing the owner closes the connection.
  Variant got{std::string()};
  owner->On().OnDataArrival = [&](int32_t) { owner->GetData(got); };
  client->SendData(Variant("hi"));
  ASSERT_TRUE(rig.Pump([&] { return got.AsString() == "hi"; }));
  owner.reset();
  EXPECT_TRUE(rig.Pump([&] { return clientCloses == 1; }));
}

TEST_F(CNetSocketAcceptTest, ConnectionNobodyAcceptsIsClosed) {
  int32_t offered = -1;
  listener->On().OnConnectionRequest = [&](int32_t id) {
    ++requests;
    offered = id;
    // An object that is not closed refuses and leaves the connection waiting.
    auto busy = rig.NewSocket(ProtocolUdp);
    busy->Bind(Variant(0), Variant("127.0.0.1"));
    const base::RaisedError e = Raised([&] { busy->Accept(id); });
    EXPECT_EQ(e.Number(), 40020);
    EXPECT_EQ(e.Source(), "CNetSocket.Accept");
    EXPECT_TRUE(rig.module.AcceptedSocketIsHeld(id));
  };
  ConnectClient();
  ASSERT_TRUE(AwaitRequest());
  EXPECT_FALSE(rig.module.AcceptedSocketIsHeld(offered));
  EXPECT_TRUE(rig.Pump([&] { return clientCloses == 1 || client->State() == StateError; }));
}

TEST_F(CNetSocketAcceptTest, BytesAndCloseThatReachedTheHolderFirstAreHandedOver) {
  std::vector<int32_t> arrivals;
  std::vector<std::string> order;
  listener->On().OnConnectionRequest = [&](int32_t id) {
    ++requests;
    // Let the loop run, as a modal box would, until the holder has seen it all.
    ASSERT_TRUE(rig.Pump([&] { return client->State() == StateConnected; }));
    client->SendData(Variant("abcdef"));
    client->CloseSck();
    std::shared_ptr<CNetSocket> holder = rig.module.HeldSocketObject(id);
    ASSERT_TRUE(holder);
    ASSERT_TRUE(rig.Pump([&] { return holder->State() == StateClosing; }));
    EXPECT_EQ(holder->BytesReceived(), 6);
    holder.reset();

    owner = rig.NewSocket();
    owner->On().OnDataArrival = [&](int32_t total) {
      arrivals.push_back(total);
      order.push_back("data");
    };
    owner->On().OnCloseSck = [&] { order.push_back("close"); };
    owner->Accept(id);
  };
  ConnectClient();
  ASSERT_TRUE(AwaitRequest());
  ASSERT_TRUE(owner);
  EXPECT_EQ(arrivals, (std::vector<int32_t>{6}));
  EXPECT_EQ(order, (std::vector<std::string>{"data", "close"}));
  EXPECT_EQ(owner->State(), StateClosing);
  EXPECT_EQ(owner->BytesReceived(), 6);
  // The bytes are still there for a holder-free owner; closing is the owner's call.
  owner->CloseSck();
  EXPECT_EQ(owner->State(), StateClosed);
}

TEST_F(CNetSocketAcceptTest, HandleOwnedByAnotherObjectIsRefusedUntouched) {
  auto pair = rig.ConnectPair();
  ASSERT_TRUE(pair.server);
  const int32_t taken = pair.server->SocketHandle();
  {
    auto intruder = rig.NewSocket();
    const base::RaisedError e = Raised([&] { intruder->Accept(taken); });
    EXPECT_EQ(e.Number(), 40006);
    EXPECT_EQ(e.Source(), "CNetSocket.Accept");
    EXPECT_EQ(intruder->State(), StateClosed);
    EXPECT_EQ(intruder->SocketHandle(), -1);
    intruder->CloseSck();
  }
  // The owner's connection still works both ways.
  Variant got{std::string()};
  pair.server->On().OnDataArrival = [&](int32_t) { pair.server->GetData(got); };
  pair.client->SendData(Variant("still here"));
  ASSERT_TRUE(rig.Pump([&] { return got.AsString() == "still here"; }));
  Variant back{std::string()};
  pair.client->On().OnDataArrival = [&](int32_t) { pair.client->GetData(back); };
  pair.server->SendData(Variant("yes"));
  EXPECT_TRUE(rig.Pump([&] { return back.AsString() == "yes"; }));
}

TEST_F(CNetSocketAcceptTest, OptionReadFailureInsideAcceptLeavesTheObjectClosed) {
  listener->On().OnConnectionRequest = [&](int32_t id) {
    ++requests;
    owner = rig.NewSocket();
    rig.fake.FailNext(Call::GetSockOpt, 10055);
    const base::RaisedError e = Raised([&] { owner->Accept(id); });
    EXPECT_EQ(e.Number(), 10055);
    EXPECT_EQ(e.Description(), "No buffer space available");
    EXPECT_EQ(e.Source(), "CNetSocket.ProcessOptions");
    EXPECT_EQ(owner->State(), StateClosed);
    EXPECT_EQ(owner->SocketHandle(), -1);
    EXPECT_TRUE(rig.module.AcceptedSocketIsHeld(id));
  };
  ConnectClient();
  ASSERT_TRUE(AwaitRequest());
  // Nobody took the connection: it is closed.
  EXPECT_TRUE(rig.Pump([&] { return clientCloses == 1 || client->State() == StateError; }));
}

TEST_F(CNetSocketAcceptTest, LocalAddressFailureClosesTheConnectionAndNothingReachesTheHolder) {
  std::weak_ptr<CNetSocket> holderSeen;
  listener->On().OnConnectionRequest = [&](int32_t id) {
    ++requests;
    holderSeen = rig.module.HeldSocketObject(id);
    owner = rig.NewSocket();
    rig.fake.FailNext(Call::GetSockName, 10022);
    const base::RaisedError e = Raised([&] { owner->Accept(id); });
    EXPECT_EQ(e.Number(), 10022);
    EXPECT_EQ(e.Source(), "CNetSocket.Accept");
    EXPECT_EQ(owner->State(), StateClosed);
    EXPECT_EQ(owner->SocketHandle(), -1);
  };
  ConnectClient();
  ASSERT_TRUE(AwaitRequest());
  EXPECT_TRUE(holderSeen.expired());
  // Whatever the client does now must not reach the released holder.
  client->SendData(Variant("after"));
  EXPECT_TRUE(rig.Pump([&] { return clientCloses == 1 || client->State() == StateError; }));
  rig.Settle();
}

}  // namespace
}  // namespace toruna::net::testing
