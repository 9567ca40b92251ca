#include <gtest/gtest.h>

#include "LoopbackRig.h"
#include "base/DecimalCommaLocale.h"

namespace toruna::net::testing {
namespace {

using namespace std::chrono_literals;

int32_t KernelPort(SocketHandle handle) {
  sockaddr_in addr{};
  socklen_t len = sizeof addr;
  ::getsockname(handle, reinterpret_cast<sockaddr*>(&addr), &len);
  return ntohs(addr.sin_port);
}

// A fresh TCP object whose events are recorded.
class CNetSocketConnectTest : public OneSocketTest {
 protected:
  SocketEvents events{*sock};
};

TEST_F(CNetSocketConnectTest, PortZeroReadsThePortThePlatformChose) {
  sock->Bind(0, "127.0.0.1");
  EXPECT_EQ(sock->State(), StateOpen);
  EXPECT_EQ(sock->LocalPort(), KernelPort(sock->SocketHandle()));
  EXPECT_GT(sock->LocalPort(), 0);
  EXPECT_EQ(sock->LocalIP(), "127.0.0.1");  // the dotted text unchanged
  EXPECT_EQ(bed.fake.Calls(Call::GetHostByName), 0);
}

TEST_F(CNetSocketConnectTest, AddressForms) {
  sock->Bind();  // all interfaces, the requested port (0)
  EXPECT_EQ(sock->LocalIP(), "0.0.0.0");
  EXPECT_GT(sock->LocalPort(), 0);

  auto empty = bed.NewSocket();
  empty->Bind(0, "");
  EXPECT_EQ(empty->LocalIP(), "0.0.0.0");

  // A single number is an address too, not a name to look up.
  auto number = bed.NewSocket();
  number->Bind(0, "2130706433");
  EXPECT_EQ(number->LocalIP(), "2130706433");
  sockaddr_in bound{};
  socklen_t len = sizeof bound;
  ::getsockname(number->SocketHandle(), reinterpret_cast<sockaddr*>(&bound), &len);
  EXPECT_EQ(bound.sin_addr.s_addr, Loopback());
  EXPECT_EQ(bed.fake.Calls(Call::GetHostByName), 0);

  // A name binds to its first address, read back in dotted form.
  auto named = bed.NewSocket();
  named->Bind(0, "localhost");
  EXPECT_EQ(named->State(), StateOpen);
  EXPECT_EQ(named->LocalIP(), "127.0.0.1");

  // A numeric text port reads as a number.
  const int32_t port = sock->LocalPort();
  sock->CloseSck();
  auto text = bed.NewSocket();
  text->Bind(std::to_string(port), "127.0.0.1");
  EXPECT_EQ(text->LocalPort(), port);
  EXPECT_EQ(KernelPort(text->SocketHandle()), port);
}

TEST_F(CNetSocketConnectTest, NumbersInArgumentsReadAlikeUnderADecimalCommaLocale) {
  base::testing::DecimalCommaLocale german;
  ASSERT_TRUE(german.active());
  // A port text with decimals rounds (40000.6 is 40001), and a number given as the
  // address is written with a point (127.5 is 127.0.0.5).
  const uint16_t port = ClosedLoopbackPort();
  sock->Bind(std::to_string(port - 1) + ".6", 127.5);
  EXPECT_EQ(sock->State(), StateOpen);
  EXPECT_EQ(sock->LocalPort(), port);
  EXPECT_EQ(sock->LocalIP(), "127.5");
}

TEST_F(CNetSocketConnectTest, BadArgumentsRaiseBeforeAnySocketExists) {

  base::RaisedError range = Raised([&] { sock->Bind(65536); });
  EXPECT_EQ(range.Number(), 40014);
  EXPECT_EQ(range.Source(), "CNetSocket.BindInternal");
  EXPECT_EQ(range.Description(),
            "The argument passed to a function was not in the correct format or in the specified range.");
  EXPECT_EQ(Raised([&] { sock->Bind(-1); }).Number(), 40014);

  base::RaisedError type = Raised([&] { sock->Bind("abc"); });
  EXPECT_EQ(type.Number(), 40018);
  EXPECT_EQ(type.Source(), "CNetSocket.BindInternal");
  EXPECT_EQ(type.Description(), "Unsupported variant type.");

  bed.fake.FailNext(Call::GetHostByName, 11001);
  base::RaisedError address = Raised([&] { sock->Bind(0, "nosuchhost"); });
  EXPECT_EQ(address.Number(), 40014);
  EXPECT_EQ(address.Description(), "Invalid argument");

  EXPECT_EQ(bed.fake.Calls(Call::Socket), 0);
  EXPECT_EQ(sock->State(), StateClosed);
  EXPECT_EQ(sock->SocketHandle(), -1);
}

TEST_F(CNetSocketConnectTest, SecondBindRefusedAndPlatformRefusalReported) {
  SocketEvents events(*sock);
  sock->Bind(0, "127.0.0.1");
  base::RaisedError again = Raised([&] { sock->Bind(0, "127.0.0.1"); });
  EXPECT_EQ(again.Number(), 40020);
  EXPECT_EQ(again.Source(), "CNetSocket.Bind");
  EXPECT_EQ(bed.fake.Calls(Call::Bind), 1);

  // The platform refuses the bind of the port the first object holds (bound, not
  // listening): False, the state stays, the owner learns why.
  auto other = bed.NewSocket();
  SocketEvents otherEvents(*other);
  other->Bind(sock->LocalPort(), "127.0.0.1");
  EXPECT_EQ(other->State(), StateClosed);
  ASSERT_EQ(otherEvents.errors.size(), 1u);
  EXPECT_EQ(otherEvents.errors[0].Number, 10048);
  EXPECT_EQ(otherEvents.errors[0].Description, "Address already in use");
  EXPECT_EQ(otherEvents.errors[0].Source, "CNetSocket.BindInternal");
  EXPECT_TRUE(otherEvents.errors[0].CancelDisplay);
  EXPECT_TRUE(bed.alerts.shown.empty());

  // With the display left to the layer, the refusal is shown.
  other->On().OnError = [](SocketErrorArgs& e) { e.CancelDisplay = false; };
  bed.fake.FailNext(Call::Bind, 10013);
  other->Bind(0, "127.0.0.1");
  ASSERT_EQ(bed.alerts.shown.size(), 1u);
  EXPECT_EQ(bed.alerts.shown[0], std::make_pair(std::string("Permission denied"), std::string("CNetSocket.BindInternal")));
}

TEST_F(CNetSocketConnectTest, UnreadableBoundPortRaisesAndKeepsTheSocket) {
  bed.fake.FailNext(Call::GetSockName, 10022);
  base::RaisedError e = Raised([&] { sock->Bind(0, "127.0.0.1"); });
  EXPECT_EQ(e.Number(), 10022);
  EXPECT_EQ(e.Source(), "CNetSocket.BindInternal");
  EXPECT_EQ(sock->State(), StateClosed);
  EXPECT_NE(sock->SocketHandle(), -1);
}

TEST_F(CNetSocketConnectTest, NameAndAddressFailuresRaise) {
  std::string expected;
  ASSERT_EQ(bed.real.GetHostName(&expected), 0);
  EXPECT_EQ(sock->LocalHostName(), expected);

  bed.fake.FailNext(Call::GetHostName, 10093);
  base::RaisedError name = Raised([&] { sock->LocalHostName(); });
  EXPECT_EQ(name.Number(), 10093);
  EXPECT_EQ(name.Source(), "CNetSocket.GetLocalHostName");

  bed.fake.FailNext(Call::GetHostByName, 11001);
  base::RaisedError ip = Raised([&] { sock->LocalIP(); });
  EXPECT_EQ(ip.Number(), 11001);
  EXPECT_EQ(ip.Source(), "CNetSocket.GetLocalIP");
  EXPECT_EQ(ip.Description(), "Host not found");
}

TEST_F(CNetSocketConnectTest, ArgumentRulesAndDatagramObjects) {
  base::RaisedError zero = Raised([&] { sock->Connect("127.0.0.1", 0); });
  EXPECT_EQ(zero.Number(), 40014);
  EXPECT_EQ(zero.Source(), "CNetSocket.Connect");
  base::RaisedError text = Raised([&] { sock->Connect("127.0.0.1", "http"); });
  EXPECT_EQ(text.Number(), 40018);
  EXPECT_EQ(text.Source(), "CNetSocket.Connect");
  EXPECT_EQ(bed.fake.Calls(Call::Socket), 0);
  EXPECT_EQ(sock->State(), StateClosed);
  sock->SetRemotePort(0);  // the property still takes 0

  // A datagram object only remembers the destination.
  auto udp = bed.NewSocket();
  udp->SetProtocol(ProtocolUdp);
  udp->Connect("127.0.0.1", 9);
  EXPECT_EQ(udp->State(), StateOpen);
  EXPECT_EQ(udp->RemoteHost(), "127.0.0.1");
  EXPECT_EQ(udp->RemotePort(), 9);
  EXPECT_EQ(bed.fake.Calls(Call::Connect), 0);
  EXPECT_EQ(Raised([&] { udp->Connect(); }).Number(), 40020);
}

TEST_F(CNetSocketConnectTest, AddressOneMeansNoAddress) {
  sock->Connect("1.0.0.0", 80);
  EXPECT_NE(sock->SocketHandle(), -1);
  EXPECT_EQ(bed.fake.Calls(Call::Bind), 1);
  EXPECT_EQ(bed.fake.Calls(Call::Connect), 0);
  EXPECT_EQ(sock->State(), StateClosed);
}

TEST_F(CNetSocketConnectTest, DottedAddressConnectsOverLoopback) {
  uint16_t port = 0;
  Fd listener = LoopbackListener(&port);
  sock->Connect("127.0.0.1", static_cast<int32_t>(port));
  EXPECT_EQ(sock->State(), StateConnecting);
  EXPECT_EQ(bed.fake.Calls(Call::AsyncGetHostByName), 0);
  ASSERT_TRUE(bed.Pump([&] { return events.connects > 0; }));
  EXPECT_EQ(sock->State(), StateConnected);
  EXPECT_EQ(sock->RemoteHostIP(), "127.0.0.1");
  EXPECT_EQ(sock->RemotePort(), port);
  EXPECT_EQ(sock->RemoteHost(), "127.0.0.1");
  EXPECT_TRUE(events.errors.empty());

  // The far side closes: one CloseSck event, the socket stays for the owner to close.
  Fd accepted(::accept(listener.get(), nullptr, nullptr));
  ASSERT_NE(accepted.get(), -1);
  accepted.Reset();
  ASSERT_TRUE(bed.Pump([&] { return events.closes > 0; }));
  EXPECT_EQ(sock->State(), StateClosing);
  bed.module.OnSocketNotify(sock->SocketHandle(), kFdClose, 0);
  EXPECT_EQ(events.closes, 1);
  sock->CloseSck();
  EXPECT_EQ(sock->State(), StateClosed);
}

TEST_F(CNetSocketConnectTest, NamePassesThroughResolvingHost) {
  uint16_t port = 0;
  Fd listener = LoopbackListener(&port);
  sock->Connect("localhost", static_cast<int32_t>(port));
  EXPECT_EQ(sock->State(), StateResolvingHost);
  EXPECT_EQ(bed.fake.Calls(Call::Connect), 0);
  ASSERT_TRUE(bed.Pump([&] { return events.connects > 0 || !events.errors.empty(); }));
  EXPECT_EQ(events.connects, 1);
  EXPECT_EQ(sock->State(), StateConnected);
  EXPECT_EQ(sock->RemoteHostIP(), "127.0.0.1");
  EXPECT_EQ(sock->RemoteHost(), "localhost");
}

TEST_F(CNetSocketConnectTest, ClosedPortGivesErrorState) {
  const uint16_t port = ClosedLoopbackPort();
  sock->Connect("127.0.0.1", static_cast<int32_t>(port));
  ASSERT_TRUE(bed.Pump([&] { return !events.errors.empty(); }));
  EXPECT_EQ(sock->State(), StateError);
  EXPECT_EQ(events.errors[0].Number, 10061);
  EXPECT_EQ(events.errors[0].Description, "Connection refused");
  // Refused at once or through the connect notification, depending on the platform.
  EXPECT_TRUE(events.errors[0].Source == "CNetSocket.PostSocket" || events.errors[0].Source == "CNetSocket.ConnectToIP")
      << events.errors[0].Source;
  EXPECT_EQ(events.connects, 0);
  sock->CloseSck();
  EXPECT_EQ(sock->State(), StateClosed);
}

TEST_F(CNetSocketConnectTest, CloseDuringLookupMeansNoConnectEver) {
  uint16_t port = 0;
  Fd listener = LoopbackListener(&port);
  sock->Connect("localhost", static_cast<int32_t>(port));
  ASSERT_EQ(sock->State(), StateResolvingHost);
  ASSERT_EQ(bed.fake.lookups.size(), 1u);
  sock->CloseSck();
  EXPECT_EQ(sock->State(), StateClosed);
  EXPECT_EQ(bed.fake.Calls(Call::CancelAsyncRequest), 1);

  // Even a completion that slips through finds no route.
  bed.module.OnLookupDone(bed.fake.lookups[0], 0, Loopback());
  bed.RunFor(300ms);
  EXPECT_EQ(bed.fake.Calls(Call::Connect), 0);
  EXPECT_EQ(events.connects, 0);
  EXPECT_TRUE(events.errors.empty());
  EXPECT_EQ(sock->State(), StateClosed);
}

TEST_F(CNetSocketConnectTest, LookupFailures) {
  bed.fake.FailNext(Call::AsyncGetHostByName, 10055);
  sock->Connect("localhost", 80);
  EXPECT_EQ(sock->State(), StateError);
  ASSERT_EQ(events.errors.size(), 1u);
  EXPECT_EQ(events.errors[0].Number, 10055);
  EXPECT_EQ(events.errors[0].Source, "CNetSocket.ResolveIfHostname");
  sock->CloseSck();

  // A completion with an error ends the connect through ConnectToIP.
  sock->Connect("localhost", 80);
  ASSERT_EQ(sock->State(), StateResolvingHost);
  ASSERT_EQ(bed.fake.lookups.size(), 1u);
  bed.module.OnLookupDone(bed.fake.lookups[0], 11001, 0);
  EXPECT_EQ(sock->State(), StateError);
  ASSERT_EQ(events.errors.size(), 2u);
  EXPECT_EQ(events.errors[1].Number, 11001);
  EXPECT_EQ(events.errors[1].Description, "Host not found");
  EXPECT_EQ(events.errors[1].Source, "CNetSocket.ConnectToIP");
  // The real completion of that request comes later and is dropped.
  bed.RunFor(200ms);
  EXPECT_EQ(events.errors.size(), 2u);
  EXPECT_EQ(bed.fake.Calls(Call::Connect), 0);
}

TEST_F(CNetSocketConnectTest, ImmediateConnectRefusals) {
  // The "any" address and port 0 name nobody: refused at once, even with a listener
  // on this host.
  uint16_t port = 0;
  Fd listener = LoopbackListener(&port);
  for (const bool portZero : {false, true}) {
    base::RaisedError e = Raised([&] {
      if (portZero) {
        sock->SetRemotePort(0);  // the property takes 0, Connect's argument does not
        sock->Connect("127.0.0.1");
      } else {
        sock->Connect("0.0.0.0", static_cast<int32_t>(port));
      }
    });
    EXPECT_EQ(e.Number(), 10049);
    EXPECT_EQ(e.Source(), "CNetSocket.ConnectToIP");
    EXPECT_EQ(e.Description(), "Cannot assign requested address");
    EXPECT_EQ(sock->State(), StateConnecting);
    sock->CloseSck();
  }
  EXPECT_TRUE(events.errors.empty());
  bed.Settle();
  EXPECT_EQ(events.connects, 0);

  sock->On().OnError = [](SocketErrorArgs& e) { e.CancelDisplay = false; };
  bed.fake.FailNext(Call::Connect, 10051);
  sock->Connect("127.0.0.1", 80);
  EXPECT_EQ(sock->State(), StateError);
  ASSERT_EQ(bed.alerts.shown.size(), 1u);
  EXPECT_EQ(bed.alerts.shown[0].first, "Network is unreachable");
  EXPECT_EQ(bed.alerts.shown[0].second, "CNetSocket.ConnectToIP");
}

}  // namespace
}  // namespace toruna::net::testing
