#include "net/modNetSocket.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include "LoopbackRig.h"

namespace toruna::net::testing {
namespace {

// A handle number no real socket of the test uses; routes only, never a platform call.
constexpr SocketHandle kFakeHandle = 100000;

TEST(modNetSocketTest, NamesCodesFromTheTableAndUnknownOtherwise) {
  EXPECT_EQ(modNetSocket::WinsockErrorText(10035), "Resource temporarily unavailable");
  EXPECT_EQ(modNetSocket::WinsockErrorText(10053), "Timeout or Software caused connection abort");
  EXPECT_EQ(modNetSocket::WinsockErrorText(10061), "Connection refused");
  EXPECT_EQ(modNetSocket::WinsockErrorText(10093), "Successful WSAStartup not yet performed");
  EXPECT_EQ(modNetSocket::WinsockErrorText(11004), "Valid name, no data record of requested type");
  EXPECT_EQ(modNetSocket::WinsockErrorText(0), "Unknown error");
  EXPECT_EQ(modNetSocket::WinsockErrorText(10062), "Unknown error");
  EXPECT_EQ(modNetSocket::WinsockErrorText(-1), "Unknown error");
}

TEST(modNetSocketTest, SplitAndConvertPorts) {
  EXPECT_EQ(HighWord(0x12345678), 0x1234);
  EXPECT_EQ(LowWord(0x12345678), 0x5678);
  EXPECT_EQ(HighWord(-1), 0xFFFF);  // unsigned, not sign-extended
  EXPECT_EQ(HighWord(static_cast<int32_t>(0x80000001u)), 0x8000);
  EXPECT_EQ(LowWord(static_cast<int32_t>(0x80000001u)), 1);

  EXPECT_EQ(PortToWord(0), 0);
  EXPECT_EQ(PortToWord(32767), 32767);
  EXPECT_EQ(PortToWord(32768), -32768);
  EXPECT_EQ(PortToWord(65535), -1);
  EXPECT_EQ(WordToPort(-1), 65535);
  EXPECT_EQ(WordToPort(-32768), 32768);
  EXPECT_EQ(WordToPort(13131), 13131);
  for (int32_t port : {0, 1, 9666, 32767, 32768, 65535}) EXPECT_EQ(WordToPort(PortToWord(port)), port);
  const base::RaisedError e = Raised([&] { PortToWord(65536); });
  EXPECT_EQ(e.Number(), 6);
  EXPECT_EQ(e.Description(), "Overflow");
}

TEST(modNetSocketTest, StartsWithTheFirstObjectAndStopsWithTheLast) {
  LoopbackRig bed;
  auto first = bed.NewSocket();
  auto second = bed.NewSocket();
  EXPECT_EQ(bed.fake.Calls(Call::Startup), 1);
  EXPECT_EQ(bed.module.SocketObjectCount(), 2);
  EXPECT_TRUE(bed.module.LibraryStarted());

  first.reset();
  EXPECT_EQ(bed.fake.Calls(Call::Cleanup), 0);
  EXPECT_TRUE(bed.module.LibraryStarted());

  second.reset();
  EXPECT_EQ(bed.fake.Calls(Call::Cleanup), 1);
  EXPECT_EQ(bed.module.SocketObjectCount(), 0);
  EXPECT_FALSE(bed.module.LibraryStarted());

  // A later object starts the library again.
  auto third = bed.NewSocket();
  EXPECT_EQ(bed.fake.Calls(Call::Startup), 2);
}

TEST(modNetSocketTest, FailedStartRaisesAndLeavesNoTrace) {
  LoopbackRig bed;
  bed.fake.FailNext(Call::Startup, 10091);
  const base::RaisedError e = Raised([&] { bed.NewSocket(); });
  EXPECT_EQ(e.Number(), 10091);
  EXPECT_EQ(e.Source(), "modNetSocket.InitiateProcesses");
  EXPECT_EQ(e.Description(), "Network subsystem is unavailable");
  EXPECT_EQ(bed.module.SocketObjectCount(), 0);
  EXPECT_FALSE(bed.module.LibraryStarted());

  // The next object tries the start again instead of trusting a library that never started.
  auto sock = bed.NewSocket();
  EXPECT_EQ(bed.fake.Calls(Call::Startup), 2);
  EXPECT_TRUE(bed.module.LibraryStarted());
}

TEST(modNetSocketTest, FailedStopIsShownAndKeepsTheLibraryMarkedStarted) {
  LoopbackRig bed;
  auto sock = bed.NewSocket();
  bed.fake.FailNext(Call::Cleanup, 10093);
  sock.reset();  // a destructor cannot raise: the failure goes to the alert service
  ASSERT_EQ(bed.alerts.shown.size(), 1u);
  EXPECT_EQ(bed.alerts.shown[0].first, "Successful WSAStartup not yet performed");
  EXPECT_EQ(bed.alerts.shown[0].second, "modNetSocket.FinalizeProcesses");
  EXPECT_TRUE(bed.module.LibraryStarted());
  EXPECT_EQ(bed.module.SocketObjectCount(), 0);
}

TEST(modNetSocketTest, NotifierFollowsTheRegisteredSocketsNotTheObjects) {
  LoopbackRig bed;
  auto bound = bed.NewSocket();
  auto idle = bed.NewSocket();
  EXPECT_FALSE(bed.module.NotifierOpen());

  bound->Bind(0, "127.0.0.1");
  const SocketHandle handle = bound->SocketHandle();
  EXPECT_TRUE(bed.module.NotifierOpen());
  EXPECT_TRUE(bed.module.SocketIsRegistered(handle));
  EXPECT_EQ(bed.fake.Calls(Call::OpenNotifier), 1);

  // The last registered socket goes while another object lives: the notifier
  // closes, the library stays.
  bound->CloseSck();
  EXPECT_FALSE(bed.module.SocketIsRegistered(handle));
  EXPECT_FALSE(bed.module.NotifierOpen());
  EXPECT_EQ(bed.fake.Calls(Call::CloseNotifier), 1);
  EXPECT_TRUE(bed.module.LibraryStarted());

  // The next registration opens a new one.
  idle->Bind(0, "127.0.0.1");
  EXPECT_TRUE(bed.module.NotifierOpen());
  EXPECT_EQ(bed.fake.Calls(Call::OpenNotifier), 2);
}

TEST(modNetSocketTest, FailuresOfTheNotifier) {
  LoopbackRig bed;
  auto sock = bed.NewSocket();
  bed.fake.FailNext(Call::OpenNotifier, 1);
  const base::RaisedError e = Raised([&] { sock->Bind(0, "127.0.0.1"); });
  EXPECT_EQ(e.Number(), 7);
  EXPECT_EQ(e.Source(), "modNetSocket.RegisterSocket");
  EXPECT_EQ(e.Description(), "Out of memory");
  // The socket exists but is not registered; closing it still works.
  EXPECT_NE(sock->SocketHandle(), -1);
  sock->CloseSck();
  EXPECT_EQ(sock->SocketHandle(), -1);

  // A notifier that cannot be closed is ignored and reused by the next registration.
  sock->Bind(0, "127.0.0.1");
  bed.fake.FailNext(Call::CloseNotifier, 1);
  sock->CloseSck();
  EXPECT_TRUE(bed.module.NotifierOpen());
  sock->Bind(0, "127.0.0.1");
  EXPECT_EQ(bed.fake.Calls(Call::OpenNotifier), 2);  // the failed one and one that stayed open
  EXPECT_TRUE(bed.module.SocketIsRegistered(sock->SocketHandle()));
}

TEST(modNetSocketTest, RefusedEventSelectionRaisesFromRegistration) {
  LoopbackRig bed;
  auto sock = bed.NewSocket();
  bed.fake.FailNext(Call::AsyncSelect, 10038);
  const base::RaisedError e = Raised([&] { sock->Bind(0, "127.0.0.1"); });
  EXPECT_EQ(e.Number(), 10038);
  EXPECT_EQ(e.Source(), "modNetSocket.RegisterSocket");
  EXPECT_FALSE(bed.module.SocketIsRegistered(sock->SocketHandle()));
  sock->CloseSck();
  EXPECT_EQ(sock->State(), StateClosed);

  // The platform's own event set refusing the socket is the same refusal (here the
  // socket's descriptor is made a plain file, which epoll cannot watch).
  auto unwatchable = bed.NewSocket(ProtocolUdp);
  Fd devNull(::open("/dev/null", O_RDONLY | O_CLOEXEC));
  bed.fake.beforeCall = [&](Call call) {
    if (call == Call::AsyncSelect) ::dup2(devNull.get(), unwatchable->SocketHandle());
  };
  const base::RaisedError refused = Raised([&] { unwatchable->Bind(0, "127.0.0.1"); });
  bed.fake.beforeCall = nullptr;
  EXPECT_EQ(refused.Number(), 10013);
  EXPECT_EQ(refused.Description(), "Permission denied");
  EXPECT_EQ(refused.Source(), "modNetSocket.RegisterSocket");
  unwatchable->CloseSck();
  EXPECT_EQ(unwatchable->State(), StateClosed);
}

// Routes are observed through error notifications, which reach any object in any state.
struct ErrorCounter {
  explicit ErrorCounter(CNetSocket& sock) {
    sock.On().OnError = [this](SocketErrorArgs& e) {
      ++count;
      last = e;
    };
  }
  int count = 0;
  SocketErrorArgs last;
};

TEST(modNetSocketTest, FirstRegistrationWinsAndRemovedRoutesDropDeliveries) {
  LoopbackRig bed;
  auto a = bed.NewSocket();
  auto b = bed.NewSocket();
  ErrorCounter errorsA(*a), errorsB(*b);

  bed.module.RegisterSocket(kFakeHandle, a.get(), false);
  bed.module.RegisterSocket(kFakeHandle, b.get(), false);
  bed.module.OnSocketNotify(kFakeHandle, kFdRead, 10054);
  EXPECT_EQ(errorsA.count, 1);
  EXPECT_EQ(errorsB.count, 0);
  EXPECT_EQ(errorsA.last.Number, 10054);
  EXPECT_EQ(errorsA.last.Source, "CNetSocket.PostSocket");

  bed.module.RerouteSocket(kFakeHandle, b.get());
  bed.module.OnSocketNotify(kFakeHandle, kFdRead, 10054);
  EXPECT_EQ(errorsA.count, 1);
  EXPECT_EQ(errorsB.count, 1);

  // A late notification for a deregistered handle is dropped.
  bed.module.DeregisterSocket(kFakeHandle);
  bed.module.OnSocketNotify(kFakeHandle, kFdRead, 10054);
  bed.module.OnSocketNotify(kFakeHandle + 1, kFdRead, 10054);
  bed.module.OnLookupDone(12345, 11001, 0);
  EXPECT_EQ(errorsA.count + errorsB.count, 2);

  // The handle number comes back for another object: the old one never hears of it.
  bed.module.RegisterSocket(kFakeHandle, b.get(), false);
  bed.module.OnSocketNotify(kFakeHandle, kFdRead, 10054);
  EXPECT_EQ(errorsA.count, 1);
  EXPECT_EQ(errorsB.count, 2);
  bed.module.DeregisterSocket(kFakeHandle);
}

TEST(modNetSocketTest, ObjectOutlivesTheDeliveryThatDropsItsLastReference) {
  LoopbackRig bed;
  auto owner = bed.NewSocket();
  std::weak_ptr<CNetSocket> watch = owner;
  CNetSocket* raw = owner.get();
  SocketState stateInsideHandler = StateClosed;
  raw->On().OnError = [&](SocketErrorArgs&) {
    owner.reset();
    // Still alive: the delivery holds it (ASan would flag a freed object here).
    stateInsideHandler = raw->State();
  };
  bed.module.RegisterSocket(kFakeHandle, raw, false);
  bed.module.OnSocketNotify(kFakeHandle, kFdClose, 10053);
  EXPECT_EQ(stateInsideHandler, StateError);
  EXPECT_TRUE(watch.expired());

  // The destroyed object left no route behind.
  bed.module.OnSocketNotify(kFakeHandle, kFdClose, 10053);
  bed.module.DeregisterSocket(kFakeHandle);
}

TEST(modNetSocketTest, RouteOfADestroyedObjectGivesWayToANewRegistration) {
  LoopbackRig bed;
  auto gone = bed.NewSocket();
  bed.module.RegisterSocket(kFakeHandle, gone.get(), false);
  gone.reset();
  auto next = bed.NewSocket();
  ErrorCounter errors(*next);
  bed.module.RegisterSocket(kFakeHandle, next.get(), false);
  bed.module.OnSocketNotify(kFakeHandle, kFdRead, 10054);
  EXPECT_EQ(errors.count, 1);
  bed.module.DeregisterSocket(kFakeHandle);
}

}  // namespace
}  // namespace toruna::net::testing
