#include <gtest/gtest.h>
#include <poll.h>

#include "LoopbackRig.h"

namespace toruna::net::testing {
namespace {

using namespace std::chrono_literals;

// A TCP object connected over loopback to a plain socket on the far side.
struct ConnectedPair {
  explicit ConnectedPair(LoopbackRig& bed) : sock(bed.NewSocket()), events(*sock) {
    uint16_t port = 0;
    Fd listener = LoopbackListener(&port);
    sock->Connect("127.0.0.1", static_cast<int32_t>(port));
    ok = bed.Pump([&] { return events.connects > 0; });
    peer = Fd(::accept(listener.get(), nullptr, nullptr));
    ok = ok && peer.get() != -1;
  }
  std::shared_ptr<CNetSocket> sock;
  SocketEvents events;
  Fd peer;
  bool ok = false;
};

// True when the far side of a connection sees it closed within the limit.
bool PeerSeesClose(int fd) {
  pollfd p{fd, POLLIN, 0};
  if (::poll(&p, 1, 5000) != 1) return false;
  char byte;
  return ::recv(fd, &byte, 1, 0) <= 0;
}

TEST(CNetSocketEventsTest, ConnectNotifications) {
  LoopbackRig bed;
  auto sock = bed.NewSocket();
  SocketEvents events(*sock);
  // The connect is left pending without reaching the network.
  bed.fake.FailNext(Call::Connect, 10035);
  sock->Connect("127.0.0.1", 80);
  ASSERT_EQ(sock->State(), StateConnecting);

  bed.module.OnSocketNotify(sock->SocketHandle(), kFdConnect, 10061);
  EXPECT_EQ(sock->State(), StateError);
  ASSERT_EQ(events.errors.size(), 1u);
  EXPECT_EQ(events.errors[0].Number, 10061);
  EXPECT_EQ(events.errors[0].Description, "Connection refused");
  EXPECT_EQ(events.errors[0].Source, "CNetSocket.PostSocket");
  EXPECT_TRUE(events.errors[0].CancelDisplay);
  EXPECT_EQ(events.connects, 0);

  // Outside StateConnecting a connect notification is ignored.
  bed.module.OnSocketNotify(sock->SocketHandle(), kFdConnect, 0);
  EXPECT_EQ(events.connects, 0);
  EXPECT_EQ(sock->State(), StateError);
  sock->CloseSck();

  // An unreadable peer address does not hold the connection back; the fields keep their values.
  bed.fake.FailNext(Call::Connect, 10035);
  sock->Connect("127.0.0.1", 81);
  bed.fake.FailNext(Call::GetPeerName, 10057);
  bed.module.OnSocketNotify(sock->SocketHandle(), kFdConnect, 0);
  EXPECT_EQ(sock->State(), StateConnected);
  EXPECT_EQ(events.connects, 1);
  EXPECT_EQ(sock->RemotePort(), 81);
  EXPECT_EQ(sock->RemoteHostIP(), "");
}

TEST(CNetSocketEventsTest, LookupCompletingAfterTheStateMovedOnStartsNoConnect) {
  LoopbackRig bed;
  auto sock = bed.NewSocket();
  SocketEvents events(*sock);
  sock->Connect("localhost", 80);
  ASSERT_EQ(sock->State(), StateResolvingHost);
  ASSERT_EQ(bed.fake.lookups.size(), 1u);
  // An error notification moves the object on while its lookup is still routed.
  bed.module.OnSocketNotify(sock->SocketHandle(), kFdRead, 10050);
  ASSERT_EQ(sock->State(), StateError);
  bed.module.OnLookupDone(bed.fake.lookups[0], 0, Loopback());
  EXPECT_EQ(bed.fake.Calls(Call::Connect), 0);
  EXPECT_EQ(sock->State(), StateError);
  EXPECT_EQ(events.errors.size(), 1u);
  // The completion took its route with it: the real one that follows goes nowhere.
  bed.RunFor(200ms);
  EXPECT_EQ(bed.fake.Calls(Call::Connect), 0);
  EXPECT_EQ(events.errors.size(), 1u);
}

TEST(CNetSocketEventsTest, CloseOnceAndNothingReadAfterIt) {
  LoopbackRig bed;
  ConnectedPair pair(bed);
  ASSERT_TRUE(pair.ok);
  pair.peer.Reset();
  ASSERT_TRUE(bed.Pump([&] { return pair.events.closes > 0; }));
  EXPECT_EQ(pair.sock->State(), StateClosing);

  const int recvs = bed.fake.Calls(Call::Recv);
  bed.module.OnSocketNotify(pair.sock->SocketHandle(), kFdClose, 0);
  bed.module.OnSocketNotify(pair.sock->SocketHandle(), kFdRead, 0);
  EXPECT_EQ(pair.events.closes, 1);
  EXPECT_TRUE(pair.events.arrivals.empty());
  EXPECT_EQ(bed.fake.Calls(Call::Recv), recvs);
  EXPECT_TRUE(pair.events.errors.empty());
}

TEST(CNetSocketEventsTest, WriteWithNothingQueuedSendsNothing) {
  LoopbackRig bed;
  ConnectedPair pair(bed);
  ASSERT_TRUE(pair.ok);
  bed.module.OnSocketNotify(pair.sock->SocketHandle(), kFdWrite, 0);
  EXPECT_EQ(bed.fake.Calls(Call::Send), 0);
  EXPECT_EQ(pair.sock->State(), StateConnected);
}

TEST(CNetSocketEventsTest, StreamArrivalReportsTheWholeQueue) {
  LoopbackRig bed;
  ConnectedPair pair(bed);
  ASSERT_TRUE(pair.ok);
  ASSERT_EQ(::send(pair.peer.get(), "0123456789", 10, 0), 10);
  ASSERT_TRUE(bed.Pump([&] { return pair.events.arrivals.size() == 1; }));
  ASSERT_EQ(::send(pair.peer.get(), "abcde", 5, 0), 5);
  ASSERT_TRUE(bed.Pump([&] { return pair.events.arrivals.size() == 2; }));
  EXPECT_EQ(pair.events.arrivals[0], 10);
  EXPECT_EQ(pair.events.arrivals[1], 15);  // the untaken 10 and the new 5
  EXPECT_EQ(pair.sock->BytesReceived(), 15);
}

// An owner with a sink gets every event there and none through the On* members;
// without it, the members again. ReceivedBytes and DiscardReceived take the bytes
// as GetData would.
TEST(CNetSocketEventsTest, ASinkTakesTheEventsInsteadOfTheHandlers) {
  struct Sink : SocketEventSink {
    std::vector<int32_t> arrivals;
    int completes = 0;
    int closes = 0;
    void Sock_DataArrival(int32_t total) override { arrivals.push_back(total); }
    void Sock_SendComplete() override { ++completes; }
    void Sock_CloseSck() override { ++closes; }
  } sink;
  LoopbackRig bed;
  ConnectedPair pair(bed);
  ASSERT_TRUE(pair.ok);
  pair.sock->SetEventSink(&sink);
  ASSERT_EQ(::send(pair.peer.get(), "abc", 3, 0), 3);
  ASSERT_TRUE(bed.Pump([&] { return sink.arrivals.size() == 1; }));
  EXPECT_EQ(sink.arrivals[0], 3);
  EXPECT_TRUE(pair.events.arrivals.empty());
  std::span<const uint8_t> held = pair.sock->ReceivedBytes();
  EXPECT_EQ(std::string(held.begin(), held.end()), "abc");
  pair.sock->DiscardReceived(2);
  EXPECT_EQ(pair.sock->BytesReceived(), 1);
  pair.sock->SendData(Variant("x"));
  EXPECT_EQ(sink.completes, 1);

  pair.sock->SetEventSink(nullptr);
  ASSERT_EQ(::send(pair.peer.get(), "d", 1, 0), 1);
  ASSERT_TRUE(bed.Pump([&] { return pair.events.arrivals.size() == 1; }));
  EXPECT_EQ(pair.events.arrivals[0], 2);  // the untaken "c" and the new "d"
  pair.sock->SetEventSink(&sink);
  char x = 0;
  ASSERT_EQ(::recv(pair.peer.get(), &x, 1, 0), 1);  // a close with bytes unread would be a reset
  pair.peer = Fd();
  ASSERT_TRUE(bed.Pump([&] { return sink.closes == 1; }));
  EXPECT_EQ(pair.events.closes, 0);
  EXPECT_EQ(sink.arrivals.size(), 1u);
}

// The datagram rule: a datagram the owner leaves unread is dropped after its
// notification, but one waiting behind a datagram the owner took is kept.
struct DatagramBench {
  explicit DatagramBench(LoopbackRig& bed) : sock(bed.NewSocket()), events(*sock) {
    sock->SetProtocol(ProtocolUdp);
    sock->Bind(0, "127.0.0.1");
    uint16_t unused = 0;
    sender = BoundLoopbackSocket(SOCK_DGRAM, &unused);
  }
  void Send(const std::string& bytes) { SendDatagram(sender.get(), static_cast<uint16_t>(sock->LocalPort()), bytes); }
  std::shared_ptr<CNetSocket> sock;
  SocketEvents events;
  Fd sender;
};

TEST(CNetSocketEventsTest, SecondDatagramSurvivesWhenTheOwnerTookTheFirst) {
  LoopbackRig bed;
  DatagramBench udp(bed);
  std::vector<std::string> taken;
  udp.sock->On().OnDataArrival = [&](int32_t total) {
    udp.events.arrivals.push_back(total);
    if (udp.events.arrivals.size() == 1) {  // take only the first
      Variant data{std::string()};
      udp.sock->GetData(data);
      taken.push_back(data.AsString());
    }
  };
  udp.Send("first");
  udp.Send("second-longer");
  ASSERT_TRUE(bed.Pump([&] { return udp.events.arrivals.size() == 2; }));
  bed.RunFor(100ms);
  EXPECT_EQ(udp.events.arrivals, (std::vector<int32_t>{5, 13}));
  EXPECT_EQ(taken, std::vector<std::string>{"first"});
  // The second was not taken during its own notification: gone now.
  EXPECT_EQ(udp.sock->BytesReceived(), 0);
  EXPECT_EQ(udp.events.arrivals.size(), 2u);
}

TEST(CNetSocketEventsTest, UntakenDatagramsEachGetTheirNotificationAndGo) {
  LoopbackRig bed;
  DatagramBench udp(bed);
  udp.Send("one");
  udp.Send("three");
  ASSERT_TRUE(bed.Pump([&] { return udp.events.arrivals.size() == 2; }));
  bed.RunFor(100ms);
  EXPECT_EQ(udp.events.arrivals, (std::vector<int32_t>{3, 5}));
  EXPECT_EQ(udp.sock->BytesReceived(), 0);
}

TEST(CNetSocketEventsTest, EmptyDatagramIsDroppedWithoutEventAndDoesNotBlockTheNext) {
  LoopbackRig bed;
  DatagramBench udp(bed);
  udp.Send("");
  udp.Send("after");
  ASSERT_TRUE(bed.Pump([&] { return !udp.events.arrivals.empty(); }));
  bed.RunFor(100ms);
  EXPECT_EQ(udp.events.arrivals, std::vector<int32_t>{5});
}

TEST(CNetSocketEventsTest, OwnerClosingInsideTheEventIsSafe) {
  LoopbackRig bed;
  DatagramBench udp(bed);
  udp.sock->On().OnDataArrival = [&](int32_t total) {
    udp.events.arrivals.push_back(total);
    udp.sock->CloseSck();
  };
  udp.Send("bye");
  ASSERT_TRUE(bed.Pump([&] { return !udp.events.arrivals.empty(); }));
  EXPECT_EQ(udp.sock->State(), StateClosed);
  EXPECT_TRUE(udp.events.errors.empty());
}

// A listening object on 127.0.0.1 and a plain client that connects to it.
struct ListenBench {
  explicit ListenBench(LoopbackRig& bed) : sock(bed.NewSocket()), events(*sock) {
    sock->SetRemoteHost("before");
    sock->SetRemotePort(1234);
    sock->Bind(0, "127.0.0.1");
    listening = sock->Listen();
  }
  Fd ConnectClient(uint16_t* clientPort) {
    return LoopbackClient(static_cast<uint16_t>(sock->LocalPort()), clientPort);
  }
  std::shared_ptr<CNetSocket> sock;
  SocketEvents events;
  bool listening = false;
};

TEST(CNetSocketEventsTest, UnacceptedConnectionIsClosedAndRemoteFieldsRestored) {
  LoopbackRig bed;
  ListenBench server(bed);
  ASSERT_TRUE(server.listening);
  std::string ipDuring, hostDuring = "unset";
  int32_t portDuring = -1;
  server.sock->On().OnConnectionRequest = [&](int32_t id) {
    server.events.requests.push_back(id);
    ipDuring = server.sock->RemoteHostIP();
    portDuring = server.sock->RemotePort();
    hostDuring = server.sock->RemoteHost();
    EXPECT_TRUE(bed.module.AcceptedSocketIsHeld(id));
  };
  uint16_t clientPort = 0;
  Fd client = server.ConnectClient(&clientPort);
  ASSERT_TRUE(bed.Pump([&] { return !server.events.requests.empty(); }));
  EXPECT_EQ(ipDuring, "127.0.0.1");
  EXPECT_EQ(portDuring, clientPort);
  EXPECT_EQ(hostDuring, "");
  EXPECT_EQ(server.sock->RemoteHostIP(), "");
  EXPECT_EQ(server.sock->RemotePort(), 1234);
  EXPECT_EQ(server.sock->RemoteHost(), "before");
  EXPECT_EQ(server.sock->State(), StateListening);
  EXPECT_FALSE(bed.module.AcceptedSocketIsHeld(server.events.requests[0]));
  EXPECT_FALSE(bed.module.SocketIsRegistered(server.events.requests[0]));
  EXPECT_TRUE(PeerSeesClose(client.get()));
}

TEST(CNetSocketEventsTest, HolderThatCannotBeSetUpClosesTheConnection) {
  LoopbackRig bed;
  ListenBench server(bed);
  ASSERT_TRUE(server.listening);
  bed.fake.Fail(Call::GetSockOpt, 10055);  // the holder's option reads fail
  uint16_t clientPort = 0;
  Fd client = server.ConnectClient(&clientPort);
  ASSERT_TRUE(bed.Pump([&] { return bed.fake.Calls(Call::Accept) > 0; }));
  bed.fake.Clear(Call::GetSockOpt);
  EXPECT_TRUE(PeerSeesClose(client.get()));
  EXPECT_TRUE(server.events.requests.empty());
  EXPECT_EQ(server.sock->State(), StateListening);
  EXPECT_EQ(bed.module.SocketObjectCount(), 1);  // the failed holder is gone
}

TEST(CNetSocketEventsTest, FailedAcceptPutsTheListenerInError) {
  LoopbackRig bed;
  ListenBench server(bed);
  ASSERT_TRUE(server.listening);
  server.sock->On().OnError = [&](SocketErrorArgs& e) {
    server.events.errors.push_back(e);
    e.CancelDisplay = false;
  };
  bed.fake.FailNext(Call::Accept, 10022);
  uint16_t clientPort = 0;
  Fd client = server.ConnectClient(&clientPort);
  ASSERT_TRUE(bed.Pump([&] { return !server.events.errors.empty(); }));
  EXPECT_EQ(server.sock->State(), StateError);
  EXPECT_EQ(server.events.errors[0].Number, 10022);
  EXPECT_EQ(server.events.errors[0].Description, "Invalid argument");
  EXPECT_EQ(server.events.errors[0].Source, "CNetSocket.PostSocket");
  EXPECT_TRUE(server.events.requests.empty());
  ASSERT_EQ(bed.alerts.shown.size(), 1u);
  EXPECT_EQ(bed.alerts.shown[0].second, "CNetSocket.PostSocket");
}

TEST(CNetSocketEventsTest, DeadConnectionsAndShortagesAreNoFailureOfTheListener) {
  LoopbackRig bed;
  ListenBench server(bed);
  ASSERT_TRUE(server.listening);
  std::vector<std::shared_ptr<CNetSocket>> owners;
  server.sock->On().OnConnectionRequest = [&](int32_t id) {
    owners.push_back(bed.NewSocket());
    owners.back()->Accept(id);
  };
  uint16_t clientPort = 0;
  std::vector<Fd> clients;
  // Each failure is injected for one waiting connection (the fake closes it).
  auto failNextWith = [&](int code) {
    const int calls = bed.fake.Calls(Call::Accept);
    bed.fake.FailNext(Call::Accept, code);
    clients.push_back(server.ConnectClient(&clientPort));
    ASSERT_TRUE(bed.Pump([&] { return bed.fake.Calls(Call::Accept) > calls; }));
    EXPECT_EQ(server.sock->State(), StateListening) << code;
  };
  auto accepted = [&] {
    const size_t before = owners.size();
    clients.push_back(server.ConnectClient(&clientPort));
    return bed.Pump([&] { return owners.size() > before; });
  };

  // Gone before it could be taken, or died while it waited: nothing to report.
  failNextWith(10035);
  failNextWith(10053);
  EXPECT_TRUE(server.events.errors.empty());
  ASSERT_TRUE(accepted());
  // No descriptor, no memory: said once per shortage, which an accept ends.
  failNextWith(10024);
  failNextWith(10055);
  ASSERT_EQ(server.events.errors.size(), 1u);
  EXPECT_EQ(server.events.errors[0].Number, 10024);
  EXPECT_EQ(server.events.errors[0].Description, "Too many open files");
  EXPECT_EQ(server.events.errors[0].Source, "CNetSocket.PostSocket");
  EXPECT_TRUE(server.events.errors[0].CancelDisplay);
  ASSERT_TRUE(accepted());
  failNextWith(10055);
  ASSERT_EQ(server.events.errors.size(), 2u);
  EXPECT_EQ(server.events.errors[1].Number, 10055);
  ASSERT_TRUE(accepted());
  EXPECT_EQ(owners.size(), 3u);
  EXPECT_TRUE(bed.alerts.shown.empty());
}

}  // namespace
}  // namespace toruna::net::testing
