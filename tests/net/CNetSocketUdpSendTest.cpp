// The send path of a UDP object: each send one datagram, created and bound on
// first use.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "LoopbackRig.h"
#include "base/RaisedError.h"

namespace toruna::net::testing {
namespace {

using Bytes = std::vector<uint8_t>;

class CNetSocketUdpSendTest : public ::testing::Test {
 protected:
  LoopbackRig rig;
};

TEST_F(CNetSocketUdpSendTest, FirstSendCreatesAndBindsAndSendsOneDatagram) {
  auto receiver = rig.NewSocket(ProtocolUdp);
  receiver->Bind(Variant(0), Variant("127.0.0.1"));
  auto sender = rig.NewSocket(ProtocolUdp);
  SendEvents events;
  events.Attach(sender);
  sender->SetRemoteHost("127.0.0.1");
  sender->SetRemotePort(receiver->LocalPort());
  sender->SendData(Variant("ping"));
  EXPECT_EQ(sender->State(), StateOpen);
  EXPECT_NE(sender->SocketHandle(), -1);
  EXPECT_NE(sender->LocalPort(), 0);
  EXPECT_EQ(sender->UnsentByteCount(), 0u);
  EXPECT_TRUE(events.progress.empty());
  EXPECT_EQ(events.complete, 0);

  // Broadcast is allowed on every UDP socket.
  int32_t broadcast = 0;
  ASSERT_EQ(rig.real.GetSockOpt(sender->SocketHandle(), kSolSocket, kSoBroadcast, &broadcast), 0);
  EXPECT_NE(broadcast, 0);

  Variant text{std::string()};
  receiver->On().OnDataArrival = [&](int32_t) { receiver->GetData(text); };
  ASSERT_TRUE(rig.Pump([&] { return !text.AsString().empty(); }));
  EXPECT_EQ(text.AsString(), "ping");
  EXPECT_EQ(receiver->RemotePort(), sender->LocalPort());
}

TEST_F(CNetSocketUdpSendTest, UnusableDestinationsRaiseAndDropTheData) {
  auto sender = rig.NewSocket(ProtocolUdp);
  sender->SetRemotePort(9);
  const base::RaisedError e = Raised([&] { sender->SendData(Variant("x")); });
  EXPECT_EQ(e.Number(), 10047);
  EXPECT_EQ(e.Description(), "Address family not supported by protocol family");
  EXPECT_EQ(e.Source(), "CNetSocket.SendBufferedDataUDP");
  EXPECT_EQ(sender->UnsentByteCount(), 0u);
  EXPECT_EQ(sender->State(), StateOpen);

  // A name that cannot be found (the lookup is failed locally, nothing leaves the host).
  rig.fake.Fail(Call::GetHostByName, kErrHostNotFound);
  sender->SetRemoteHost("nowhere");
  const base::RaisedError unknown = Raised([&] { sender->SendData(Variant("x")); });
  EXPECT_EQ(unknown.Number(), 40014);
  EXPECT_EQ(unknown.Description(), "Invalid argument");
  EXPECT_EQ(unknown.Source(), "CNetSocket.SendBufferedDataUDP");
  EXPECT_EQ(sender->UnsentByteCount(), 0u);
  EXPECT_EQ(rig.fake.Calls(Call::SendTo), 0);
}

TEST_F(CNetSocketUdpSendTest, AfterAFailedDatagramOrAnErrorTheSocketGoesOn) {
  auto sender = rig.NewSocket(ProtocolUdp);
  std::vector<ErrorSeen> errors;
  LoopbackRig::CollectErrors(sender, errors);
  uint16_t port = 0;
  Fd peer = BoundLoopbackSocket(SOCK_DGRAM, &port);
  sender->SetRemoteHost("127.0.0.1");
  sender->SetRemotePort(port);
  auto received = [&] {
    char buf[16];
    ssize_t got = -1;
    if (!rig.Pump([&] { return (got = recv(peer.get(), buf, sizeof buf, MSG_DONTWAIT)) >= 0; })) return std::string();
    return std::string(buf, static_cast<size_t>(got));
  };

  // A datagram the platform refuses is lost and reported; only it failed, so the
  // object stays open, sends the next one and hears what arrives for it.
  rig.fake.FailNext(Call::SendTo, 10065);
  sender->SendData(Variant("lost"));
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_EQ(errors[0].number, 10065);
  EXPECT_EQ(errors[0].description, "No route to host");
  EXPECT_EQ(errors[0].source, "CNetSocket.SendBufferedDataUDP");
  EXPECT_TRUE(errors[0].cancelDisplay);
  EXPECT_TRUE(rig.alerts.shown.empty());
  EXPECT_EQ(sender->UnsentByteCount(), 0u);
  EXPECT_EQ(sender->State(), StateOpen);
  sender->SendData(Variant("next"));
  EXPECT_EQ(received(), "next");
  Variant heard{std::string()};
  sender->On().OnDataArrival = [&](int32_t) { sender->GetData(heard); };
  SendDatagram(peer.get(), static_cast<uint16_t>(sender->LocalPort()), "back");
  ASSERT_TRUE(rig.Pump([&] { return !heard.AsString().empty(); }));
  EXPECT_EQ(heard.AsString(), "back");

  // A notification with an error puts it in StateError with its bound socket: the
  // next send goes out from that socket, without binding it again.
  sender->SetRemoteHost("127.0.0.1");  // the datagram taken above emptied it
  const int32_t localPort = sender->LocalPort();
  rig.module.OnSocketNotify(sender->SocketHandle(), kFdRead, 10050);
  ASSERT_EQ(sender->State(), StateError);
  errors.clear();
  const int binds = rig.fake.Calls(Call::Bind);
  sender->SendData(Variant("again"));
  EXPECT_EQ(rig.fake.Calls(Call::Bind), binds);
  EXPECT_TRUE(errors.empty());
  EXPECT_EQ(sender->State(), StateOpen);
  EXPECT_EQ(sender->LocalPort(), localPort);
  EXPECT_EQ(received(), "again");
}

TEST_F(CNetSocketUdpSendTest, OptionReadFailureIsRaisedFromProcessOptions) {
  auto sender = rig.NewSocket(ProtocolUdp);
  rig.fake.Fail(Call::GetSockOpt, 10022);
  const base::RaisedError e = Raised([&] { sender->Bind(Variant(0), Variant("127.0.0.1")); });
  EXPECT_EQ(e.Number(), 10022);
  EXPECT_EQ(e.Description(), "Invalid argument");
  EXPECT_EQ(e.Source(), "CNetSocket.ProcessOptions");
}

}  // namespace
}  // namespace toruna::net::testing
