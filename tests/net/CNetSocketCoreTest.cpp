#include <gtest/gtest.h>

#include "LoopbackRig.h"

namespace toruna::net::testing {
namespace {

const char* const kLongBadArgument =
    "The argument passed to a function was not in the correct format or in the specified range.";

class CNetSocketCoreTest : public OneSocketTest {};

TEST_F(CNetSocketCoreTest, NewObjectHasNoSocketAndDefaults) {
  EXPECT_EQ(sock->SocketHandle(), -1);
  EXPECT_EQ(sock->State(), StateClosed);
  EXPECT_EQ(sock->Protocol(), ProtocolTcp);
  EXPECT_EQ(sock->LocalPort(), 0);
  EXPECT_EQ(sock->RemotePort(), 0);
  EXPECT_EQ(sock->Tag(), "");
  EXPECT_EQ(sock->RemoteHost(), "");
  EXPECT_EQ(sock->RemoteHostIP(), "");
  EXPECT_EQ(sock->BytesReceived(), 0);
  EXPECT_EQ(sock->UnsentByteCount(), 0u);
  EXPECT_EQ(bed.fake.Calls(Call::Socket), 0);  // sockets are made on first need
}

TEST_F(CNetSocketCoreTest, RemotePortRangeAndState) {
  LoopbackRig bed;
  auto tcp = bed.NewSocket();
  tcp->SetRemotePort(0);
  EXPECT_EQ(tcp->RemotePort(), 0);
  tcp->SetRemotePort(65535);
  EXPECT_EQ(tcp->RemotePort(), 65535);
  for (int32_t bad : {-1, 65536}) {
    base::RaisedError e = Raised([&] { tcp->SetRemotePort(bad); });
    EXPECT_EQ(e.Number(), 40014);
    EXPECT_EQ(e.Source(), "CNetSocket.RemotePort");
    EXPECT_EQ(e.Description(), kLongBadArgument);
    EXPECT_EQ(tcp->RemotePort(), 65535);
  }

  tcp->Bind(0, "127.0.0.1");
  base::RaisedError e = Raised([&] { tcp->SetRemotePort(80); });
  EXPECT_EQ(e.Number(), 40020);
  EXPECT_EQ(e.Source(), "CNetSocket.RemotePort");
  EXPECT_EQ(e.Description(), "Invalid operation at current state");
  EXPECT_EQ(tcp->RemotePort(), 65535);

  // A datagram object takes a new destination in every state.
  auto udp = bed.NewSocket();
  udp->SetProtocol(ProtocolUdp);
  udp->Bind(0, "127.0.0.1");
  ASSERT_EQ(udp->State(), StateOpen);
  udp->SetRemotePort(9666);
  EXPECT_EQ(udp->RemotePort(), 9666);
  EXPECT_EQ(Raised([&] { udp->SetRemotePort(70000); }).Number(), 40014);
}

TEST_F(CNetSocketCoreTest, RemoteHostRefusalFiresErrorWithoutBoxOrRaise) {
  LoopbackRig bed;
  auto tcp = bed.NewSocket();
  tcp->SetRemoteHost("first");
  EXPECT_EQ(tcp->RemoteHost(), "first");

  int errors = 0;
  SocketErrorArgs seen;
  tcp->On().OnError = [&](SocketErrorArgs& e) {
    ++errors;
    seen = e;
    e.CancelDisplay = false;  // even so, no box for this one
  };
  tcp->Bind(0, "127.0.0.1");
  tcp->SetRemoteHost("second");  // returns normally
  EXPECT_EQ(tcp->RemoteHost(), "first");
  ASSERT_EQ(errors, 1);
  EXPECT_EQ(seen.Number, 40020);
  EXPECT_EQ(seen.Description, "CNetSocket.RemoteHost - Invalid operation at current state");
  EXPECT_EQ(seen.Source, "");
  EXPECT_FALSE(seen.CancelDisplay);
  EXPECT_EQ(seen.sCode, 0);
  EXPECT_TRUE(bed.alerts.shown.empty());

  auto udp = bed.NewSocket();
  udp->SetProtocol(ProtocolUdp);
  udp->Bind(0, "127.0.0.1");
  udp->SetRemoteHost("127.0.0.1");
  EXPECT_EQ(udp->RemoteHost(), "127.0.0.1");
}

TEST_F(CNetSocketCoreTest, LocalPortProtocolAndTagRules) {
  LoopbackRig bed;
  auto sock = bed.NewSocket();
  sock->SetLocalPort(65535);
  EXPECT_EQ(sock->LocalPort(), 65535);
  base::RaisedError range = Raised([&] { sock->SetLocalPort(-5); });
  EXPECT_EQ(range.Number(), 40014);
  EXPECT_EQ(range.Source(), "CNetSocket.LocalPort");
  EXPECT_EQ(sock->LocalPort(), 65535);

  sock->SetProtocol(7);  // stored without a range check
  EXPECT_EQ(sock->Protocol(), 7);
  sock->SetProtocol(ProtocolUdp);
  sock->SetLocalPort(0);
  sock->SetTag("closed");
  sock->Bind(0, "127.0.0.1");

  base::RaisedError port = Raised([&] { sock->SetLocalPort(1); });
  EXPECT_EQ(port.Number(), 40020);
  EXPECT_EQ(port.Source(), "CNetSocket.LocalPort");
  base::RaisedError protocol = Raised([&] { sock->SetProtocol(ProtocolTcp); });
  EXPECT_EQ(protocol.Number(), 40020);
  EXPECT_EQ(protocol.Source(), "CNetSocket.Protocol");
  EXPECT_EQ(sock->Protocol(), ProtocolUdp);
  sock->SetTag("open");
  EXPECT_EQ(sock->Tag(), "open");
}

TEST_F(CNetSocketCoreTest, WithoutSocketNothingChangesNotEvenError) {
  int closeEvents = 0, errors = 0;
  sock->On().OnCloseSck = [&] { ++closeEvents; };
  sock->On().OnError = [&](SocketErrorArgs&) { ++errors; };
  sock->CloseSck();
  EXPECT_EQ(sock->State(), StateClosed);

  bed.fake.FailNext(Call::Socket, 10024);
  sock->Bind();
  ASSERT_EQ(sock->State(), StateError);
  ASSERT_EQ(sock->SocketHandle(), -1);
  sock->CloseSck();
  EXPECT_EQ(sock->State(), StateError);
  EXPECT_EQ(closeEvents, 0);
  EXPECT_EQ(errors, 1);
  EXPECT_EQ(bed.fake.Calls(Call::CloseSocket), 0);
}

TEST_F(CNetSocketCoreTest, ReleasesTheSocketKeepsSettingsAndFiresNothing) {
  int closeEvents = 0;
  sock->On().OnCloseSck = [&] { ++closeEvents; };
  sock->SetTag("keep");
  sock->SetRemoteHost("somewhere");
  sock->SetRemotePort(4242);
  sock->Bind(0, "127.0.0.1");
  const int32_t chosen = sock->LocalPort();
  ASSERT_GT(chosen, 0);
  const SocketHandle handle = sock->SocketHandle();

  sock->CloseSck();
  EXPECT_EQ(sock->State(), StateClosed);
  EXPECT_EQ(sock->SocketHandle(), -1);
  EXPECT_FALSE(bed.module.SocketIsRegistered(handle));
  EXPECT_EQ(sock->LocalPort(), 0);  // the requested port again, not the chosen one
  EXPECT_EQ(sock->Tag(), "keep");
  EXPECT_EQ(sock->RemoteHost(), "somewhere");
  EXPECT_EQ(sock->RemotePort(), 4242);
  EXPECT_EQ(sock->RemoteHostIP(), "");
  EXPECT_EQ(closeEvents, 0);

  // Closed objects can be bound again with the same settings.
  sock->Bind(0, "127.0.0.1");
  EXPECT_EQ(sock->State(), StateOpen);
}

TEST_F(CNetSocketCoreTest, SocketCreationFailureFiresErrorButNeverABox) {
  std::vector<SocketErrorArgs> errors;
  sock->On().OnError = [&](SocketErrorArgs& e) {
    errors.push_back(e);
    e.CancelDisplay = false;
  };
  bed.fake.FailNext(Call::Socket, 10024);
  sock->Bind(0, "127.0.0.1");  // no raise: the Error event reports it
  EXPECT_EQ(sock->State(), StateError);
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_EQ(errors[0].Number, 10024);
  EXPECT_EQ(errors[0].Description, "Too many open files");
  EXPECT_EQ(errors[0].Source, "CNetSocket.SocketExists");
  EXPECT_TRUE(errors[0].CancelDisplay);
  EXPECT_TRUE(errors[0].HelpFile.empty());
  EXPECT_EQ(errors[0].HelpContext, 0);
  EXPECT_TRUE(bed.alerts.shown.empty());

  // Without a handle the object stays in error; binding and connecting refuse.
  EXPECT_EQ(Raised([&] { sock->Bind(); }).Number(), 40020);
  EXPECT_EQ(Raised([&] { sock->Connect("127.0.0.1", 80); }).Number(), 40020);
}

TEST_F(CNetSocketCoreTest, CloseFailureRaisesAndKeepsTheHandleForAnotherTry) {
  sock->Bind(0, "127.0.0.1");
  const SocketHandle handle = sock->SocketHandle();

  bed.fake.FailNext(Call::CloseSocket, 10038);
  base::RaisedError e = Raised([&] { sock->CloseSck(); });
  EXPECT_EQ(e.Number(), 10038);
  EXPECT_EQ(e.Source(), "CNetSocket.DestroySocket");
  EXPECT_EQ(e.Description(), "Socket operation on nonsocket");
  EXPECT_EQ(sock->State(), StateError);
  EXPECT_EQ(sock->SocketHandle(), handle);
  EXPECT_TRUE(bed.module.SocketIsRegistered(handle));

  sock->CloseSck();
  EXPECT_EQ(sock->State(), StateClosed);
  EXPECT_EQ(sock->SocketHandle(), -1);
  EXPECT_FALSE(bed.module.SocketIsRegistered(handle));
}

TEST_F(CNetSocketCoreTest, DestructionReportsACloseFailureAndLeavesNoRoute) {
  sock->Bind(0, "127.0.0.1");
  const SocketHandle handle = sock->SocketHandle();
  bed.fake.FailNext(Call::CloseSocket, 10038);
  sock.reset();
  ASSERT_EQ(bed.alerts.shown.size(), 1u);
  EXPECT_EQ(bed.alerts.shown[0].second, "CNetSocket.DestroySocket");
  EXPECT_FALSE(bed.module.SocketIsRegistered(handle));
  EXPECT_FALSE(bed.module.NotifierOpen());
  bed.module.OnSocketNotify(handle, kFdRead, 0);  // must go nowhere
  bed.real.CloseSocket(handle);                       // the close the fake swallowed
}

TEST_F(CNetSocketCoreTest, ClearedCancelDisplayShowsDescriptionUnderSource) {
  sock->Bind(0, "127.0.0.1");
  sock->On().OnError = [](SocketErrorArgs& e) {
    e.Description = "changed by the owner";
    e.CancelDisplay = false;
  };
  bed.module.OnSocketNotify(sock->SocketHandle(), kFdWrite, 10050);
  EXPECT_EQ(sock->State(), StateError);
  ASSERT_EQ(bed.alerts.shown.size(), 1u);
  EXPECT_EQ(bed.alerts.shown[0].first, "changed by the owner");
  EXPECT_EQ(bed.alerts.shown[0].second, "CNetSocket.PostSocket");

  // Left True (or no handler at all): nothing is shown.
  sock->On().OnError = nullptr;
  bed.module.OnSocketNotify(sock->SocketHandle(), kFdWrite, 10050);
  EXPECT_EQ(bed.alerts.shown.size(), 1u);
}

TEST_F(CNetSocketCoreTest, HandlerMayReplaceItselfWhileRunning) {
  sock->Bind(0, "127.0.0.1");
  int calls = 0;
  std::string captured = "kept alive by the running copy";
  sock->On().OnError = [&, captured](SocketErrorArgs&) {
    sock->On().OnError = nullptr;  // destroys the stored handler mid-call
    calls += static_cast<int>(captured.size() > 0);
  };
  bed.module.OnSocketNotify(sock->SocketHandle(), kFdRead, 10054);
  EXPECT_EQ(calls, 1);
}

}  // namespace
}  // namespace toruna::net::testing
