// The platform calls themselves: error numbers, options in the layer's numbering,
// datagrams that do not fit, address text, and host-name lookups.

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>

#include "net/linux/ErrnoMap.h"
#include "net/linux/LoopbackHarness.h"
#include "net/modNetSocket.h"

namespace toruna::net::testing {
namespace {

using LinuxPlatformTest = LoopbackTest;

TEST_F(LinuxPlatformTest, OperatingSystemErrorsBecomePlatformNumbers) {
  const struct {
    int error;
    int code;
  } table[] = {
      {EWOULDBLOCK, 10035}, {EAGAIN, 10035},         {EINPROGRESS, 10035},     {EINTR, 10004},
      {EACCES, 10013},      {EFAULT, 10014},         {EINVAL, 10022},          {EMFILE, 10024},
      {ENFILE, 10024},      {ENOTSOCK, 10038},       {EDESTADDRREQ, 10039},    {EMSGSIZE, 10040},
      {EPROTOTYPE, 10041},  {ENOPROTOOPT, 10042},    {EPROTONOSUPPORT, 10043}, {ESOCKTNOSUPPORT, 10044},
      {EOPNOTSUPP, 10045},  {EPFNOSUPPORT, 10046},   {EAFNOSUPPORT, 10047},    {EADDRINUSE, 10048},
      {EADDRNOTAVAIL, 10049}, {ENETDOWN, 10050},     {ENETUNREACH, 10051},     {ENETRESET, 10052},
      {ECONNABORTED, 10053}, {ECONNRESET, 10054},    {ENOBUFS, 10055},         {ENOMEM, 10055},
      {EISCONN, 10056},     {ENOTCONN, 10057},       {ESHUTDOWN, 10058},       {EPIPE, 10058},
      {ETIMEDOUT, 10060},   {ECONNREFUSED, 10061},   {EHOSTUNREACH, 10065},    {ENOSPC, 10055},
  };
  for (const auto& row : table) {
    EXPECT_EQ(PlatformErrorFromErrno(row.error), row.code) << "errno " << row.error;
  }
  // One the table has no number for keeps its own and reads as unknown, not as
  // "Invalid argument".
  for (int error : {EPROTO, ENONET, EIO}) {
    EXPECT_EQ(PlatformErrorFromErrno(error), error);
    EXPECT_EQ(modNetSocket::WinsockErrorText(PlatformErrorFromErrno(error)), "Unknown error");
  }
  EXPECT_EQ(PlatformErrorFromLookup(EAI_NONAME, 0), 11001);
  EXPECT_EQ(PlatformErrorFromLookup(EAI_AGAIN, 0), 11002);
  EXPECT_EQ(PlatformErrorFromLookup(EAI_FAIL, 0), 11003);
  EXPECT_EQ(PlatformErrorFromLookup(EAI_NODATA, 0), 11004);
  EXPECT_EQ(PlatformErrorFromLookup(EAI_SYSTEM, ECONNREFUSED), 10061);
}

TEST_F(LinuxPlatformTest, SocketsAreNonBlockingAndCloseOnExec) {
  for (int type : {kSockStream, kSockDgram}) {
    SocketHandle s = platform.Socket(type, type == kSockStream ? kIpProtoTcp : kIpProtoUdp);
    ASSERT_GE(s, 0);
    EXPECT_TRUE(fcntl(s, F_GETFL) & O_NONBLOCK);
    EXPECT_TRUE(fcntl(s, F_GETFD) & FD_CLOEXEC);
    EXPECT_EQ(platform.CloseSocket(s), 0);
    EXPECT_EQ(platform.CloseSocket(s), -1);
    EXPECT_EQ(platform.LastError(), 10038);
  }
  uint8_t byte = 0;
  EXPECT_EQ(platform.Recv(12345, &byte, 1, 0), -1) << "a handle it never made";
  EXPECT_EQ(platform.LastError(), 10038);
  EXPECT_EQ(platform.Socket(kSockDgram, kIpProtoTcp), -1);
  EXPECT_EQ(platform.LastError(), 10043);
}

TEST_F(LinuxPlatformTest, OptionsUseTheLayersNumbering) {
  SocketHandle udp = platform.Socket(kSockDgram, kIpProtoUdp);
  SocketHandle tcp = platform.Socket(kSockStream, kIpProtoTcp);
  int32_t value = 0;
  ASSERT_EQ(platform.GetSockOpt(udp, kSolSocket, kSoMaxMsgSize, &value), 0);
  EXPECT_EQ(value, 65507);
  EXPECT_EQ(platform.GetSockOpt(tcp, kSolSocket, kSoMaxMsgSize, &value), -1);
  EXPECT_EQ(platform.LastError(), 10042);
  EXPECT_EQ(platform.SetSockOpt(udp, kSolSocket, kSoMaxMsgSize, 100), -1);
  EXPECT_EQ(platform.LastError(), 10042);

  // Sizes read back as they were set.
  ASSERT_EQ(platform.SetSockOpt(tcp, kSolSocket, kSoSndBuf, 32768), 0);
  ASSERT_EQ(platform.GetSockOpt(tcp, kSolSocket, kSoSndBuf, &value), 0);
  EXPECT_EQ(value, 32768);
  ASSERT_EQ(platform.SetSockOpt(tcp, kSolSocket, kSoRcvBuf, 40000), 0);
  ASSERT_EQ(platform.GetSockOpt(tcp, kSolSocket, kSoRcvBuf, &value), 0);
  EXPECT_EQ(value, 40000);

  ASSERT_EQ(platform.GetSockOpt(udp, kSolSocket, kSoBroadcast, &value), 0);
  EXPECT_EQ(value, 0);
  ASSERT_EQ(platform.SetSockOpt(udp, kSolSocket, kSoBroadcast, 1), 0);
  ASSERT_EQ(platform.GetSockOpt(udp, kSolSocket, kSoBroadcast, &value), 0);
  EXPECT_NE(value, 0);

  ASSERT_EQ(platform.SetSockOpt(tcp, kIpProtoTcp, kTcpNoDelay, 1), 0);
  ASSERT_EQ(platform.GetSockOpt(tcp, kIpProtoTcp, kTcpNoDelay, &value), 0);
  EXPECT_NE(value, 0);
  EXPECT_EQ(platform.GetSockOpt(udp, kIpProtoTcp, kTcpNoDelay, &value), -1);
  EXPECT_EQ(platform.LastError(), 10042);

  // Keepalive and the user timeout reach the system's options of those names.
  ASSERT_EQ(platform.SetSockOpt(tcp, kSolSocket, kSoKeepAlive, 1), 0);
  const std::pair<int, int> tcpOptions[] = {{kTcpKeepIdle, TCP_KEEPIDLE},
                                            {kTcpKeepIntvl, TCP_KEEPINTVL},
                                            {kTcpKeepCnt, TCP_KEEPCNT},
                                            {kTcpUserTimeout, TCP_USER_TIMEOUT}};
  for (const auto& [option, system] : tcpOptions) {
    ASSERT_EQ(platform.SetSockOpt(tcp, kIpProtoTcp, option, 7), 0) << option;
    int direct = 0;
    socklen_t len = sizeof direct;
    ASSERT_EQ(getsockopt(tcp, IPPROTO_TCP, system, &direct, &len), 0);
    EXPECT_EQ(direct, 7) << option;
  }
  int keepAlive = 0;
  socklen_t len = sizeof keepAlive;
  ASSERT_EQ(getsockopt(tcp, SOL_SOCKET, SO_KEEPALIVE, &keepAlive, &len), 0);
  EXPECT_EQ(keepAlive, 1);

  EXPECT_EQ(platform.GetSockOpt(tcp, kSolSocket, 0x7777, &value), -1);
  EXPECT_EQ(platform.LastError(), 10042);
  EXPECT_EQ(platform.GetSockOpt(tcp, 12345, 1, &value), -1);
  EXPECT_EQ(platform.LastError(), 10022);
}

TEST_F(LinuxPlatformTest, DatagramLongerThanTheBufferGivesMessageTooLong) {
  SocketHandle rx = platform.Socket(kSockDgram, kIpProtoUdp);
  SocketHandle tx = platform.Socket(kSockDgram, kIpProtoUdp);
  ASSERT_EQ(platform.Bind(rx, SockAddrIn{Loopback(), 0}), 0);
  ASSERT_EQ(platform.Bind(tx, SockAddrIn{Loopback(), 0}), 0);
  SockAddrIn rxAddr, txAddr;
  ASSERT_EQ(platform.GetSockName(rx, &rxAddr), 0);
  ASSERT_EQ(platform.GetSockName(tx, &txAddr), 0);
  const uint8_t datagram[] = {10, 11, 12, 13, 14, 15, 16, 17, 18, 19};
  ASSERT_EQ(platform.SendTo(tx, datagram, 10, rxAddr), 10);
  ASSERT_EQ(platform.SendTo(tx, datagram, 2, rxAddr), 2);
  uint32_t pending = 0;
  ASSERT_TRUE(PumpUntil([&] { return platform.PendingBytes(rx, &pending) == 0 && pending == 10; }));

  uint8_t buf[4] = {};
  SockAddrIn from;
  EXPECT_EQ(platform.RecvFrom(rx, buf, 4, kMsgPeek, &from), -1);
  EXPECT_EQ(platform.LastError(), kErrMessageTooLong);
  ASSERT_EQ(platform.PendingBytes(rx, &pending), 0);
  EXPECT_EQ(pending, 10u) << "a peek leaves the datagram";

  from = SockAddrIn{};
  EXPECT_EQ(platform.RecvFrom(rx, buf, 4, 0, &from), -1);
  EXPECT_EQ(platform.LastError(), kErrMessageTooLong);
  EXPECT_EQ(buf[0], 10);
  EXPECT_EQ(buf[3], 13);
  EXPECT_EQ(from.addr, Loopback());
  EXPECT_EQ(from.port, txAddr.port);
  // The rest of the long datagram is gone; the next one is intact.
  EXPECT_EQ(platform.Recv(rx, buf, 4, 0), 2);
  EXPECT_EQ(buf[0], 10);
  EXPECT_EQ(buf[1], 11);
  EXPECT_EQ(platform.Recv(rx, buf, 4, 0), -1);
  EXPECT_EQ(platform.LastError(), kErrWouldBlock);
}

TEST_F(LinuxPlatformTest, AfterAResetSendsAndReceivesReportTheReset) {
  int raw = -1;
  SocketHandle s = AcceptedFromRaw(kFdAllEvents, &raw);
  RawAbort(raw);
  ASSERT_TRUE(PumpUntil([&] { return sink.Count(s, kFdClose) == 1; }));
  EXPECT_EQ(sink.Last(s, kFdClose)->error, kErrConnectionReset);
  // The notification took the reset from the socket; the calls after it still
  // report it, not "shut down" (10058) or an orderly end (0).
  const uint8_t data[] = {1, 2, 3};
  EXPECT_EQ(platform.Send(s, data, 3), -1);  // a SIGPIPE would end the test program here
  EXPECT_EQ(platform.LastError(), kErrConnectionReset);
  uint8_t buf[8];
  EXPECT_EQ(platform.Recv(s, buf, sizeof buf, 0), -1);
  EXPECT_EQ(platform.LastError(), kErrConnectionReset);
}

// Whether a connection on 127.0.0.1:port lingers in TIME_WAIT (state 06 in /proc/net/tcp).
bool LingersInTimeWait(uint16_t port) {
  std::ifstream table("/proc/net/tcp");
  char local[32];
  std::snprintf(local, sizeof local, "0100007F:%04X", port);
  std::string line;
  while (std::getline(table, line)) {
    std::istringstream fields(line);
    std::string slot, localAddress, remoteAddress, state;
    fields >> slot >> localAddress >> remoteAddress >> state;
    if (localAddress == local && state == "06") return true;
  }
  return false;
}

TEST_F(LinuxPlatformTest, APortIsBoundOnceButARestartedListenerTakesItBack) {
  // A second bind of a port that another socket holds is refused, before and
  // after that socket listens.
  SocketHandle first = platform.Socket(kSockStream, kIpProtoTcp);
  ASSERT_EQ(platform.AsyncSelect(first, kFdAllEvents), 0);
  ASSERT_EQ(platform.Bind(first, SockAddrIn{Loopback(), 0}), 0);
  SockAddrIn bound;
  ASSERT_EQ(platform.GetSockName(first, &bound), 0);
  const uint16_t port = bound.port;
  SocketHandle second = platform.Socket(kSockStream, kIpProtoTcp);
  EXPECT_EQ(platform.Bind(second, SockAddrIn{Loopback(), port}), -1);
  EXPECT_EQ(platform.LastError(), 10048);
  ASSERT_EQ(platform.Listen(first, kMaxBacklog), 0);
  EXPECT_EQ(platform.Bind(second, SockAddrIn{Loopback(), port}), -1);
  EXPECT_EQ(platform.LastError(), 10048);

  // A connection the server ended first lingers in TIME_WAIT on the port after
  // the listener has gone; a new listener takes the port all the same.
  int raw = RawConnect(port);
  ASSERT_TRUE(PumpUntil([&] { return sink.Count(first, kFdAccept) == 1; }));
  SockAddrIn peer;
  SocketHandle accepted = platform.Accept(first, &peer);
  ASSERT_GE(accepted, 0);
  ASSERT_EQ(platform.CloseSocket(accepted), 0);
  char byte;
  ASSERT_EQ(recv(raw, &byte, 1, 0), 0);  // the server's end reached the client
  RawClose(raw);
  ASSERT_EQ(platform.CloseSocket(first), 0);
  ASSERT_TRUE(PumpUntil([&] { return LingersInTimeWait(port); }));
  EXPECT_EQ(platform.Bind(second, SockAddrIn{Loopback(), port}), 0);
  EXPECT_EQ(platform.Listen(second, kMaxBacklog), 0);
}

TEST_F(LinuxPlatformTest, AddressTextParsesLikeTheDottedParser) {
  EXPECT_EQ(platform.InetAddr("127.0.0.1"), Loopback());
  EXPECT_EQ(platform.InetAddr("0.0.0.0"), 0u);
  EXPECT_EQ(platform.InetAddr("255.255.255.255"), kInaddrNone);
  EXPECT_EQ(platform.InetAddr("localhost"), kInaddrNone);
  EXPECT_EQ(platform.InetAddr(""), kInaddrNone);
  EXPECT_EQ(platform.InetAddr("1.2.3.256"), kInaddrNone);
  EXPECT_EQ(platform.InetAddr("10.1"), platform.InetAddr("10.0.0.1")) << "short dotted forms";
  EXPECT_EQ(platform.InetAddr("2130706433"), Loopback()) << "a single number";
  EXPECT_EQ(platform.InetAddr("1"), htonl(1));
  EXPECT_EQ(platform.InetAddr("4294967295"), kInaddrNone);
  EXPECT_EQ(platform.InetAddr("12abc"), kInaddrNone);
  EXPECT_EQ(platform.InetNtoa(platform.InetAddr("192.168.10.200")), "192.168.10.200");
  EXPECT_EQ(platform.InetNtoa(Loopback()), "127.0.0.1");
  std::string host;
  ASSERT_EQ(platform.GetHostName(&host), 0);
  EXPECT_FALSE(host.empty());
}

TEST_F(LinuxPlatformTest, BlockingLookup) {
  uint32_t addr = 0;
  ASSERT_EQ(platform.GetHostByName("localhost", &addr), 0);
  EXPECT_EQ(addr, Loopback());
  EXPECT_EQ(platform.GetHostByName("no-such-host.invalid", &addr), -1);
  EXPECT_EQ(platform.LastError(), kErrHostNotFound);
  EXPECT_EQ(platform.GetHostByName("INVALID.", &addr), -1);
  EXPECT_EQ(platform.LastError(), kErrHostNotFound);
}

TEST_F(LinuxPlatformTest, AsynchronousLookupsCompleteOnTheLoop) {
  LookupHandle first = platform.AsyncGetHostByName("localhost");
  LookupHandle second = platform.AsyncGetHostByName("no-such-host.invalid");
  EXPECT_NE(first, 0);
  EXPECT_NE(second, 0);
  EXPECT_NE(first, second);
  EXPECT_TRUE(sink.lookups.empty()) << "delivered before the loop ran";
  ASSERT_TRUE(PumpUntil([&] { return sink.lookups.size() == 2; }));
  EXPECT_EQ(sink.lookups[0].request, first);
  EXPECT_EQ(sink.lookups[0].error, 0);
  EXPECT_EQ(sink.lookups[0].addr, Loopback());
  EXPECT_EQ(sink.lookups[1].request, second);
  EXPECT_EQ(sink.lookups[1].error, kErrHostNotFound);
}

TEST_F(LinuxPlatformTest, CancelledLookupIsNeverDelivered) {
  LookupHandle cancelled = platform.AsyncGetHostByName("localhost");
  ASSERT_NE(cancelled, 0);
  ASSERT_EQ(platform.CancelAsyncRequest(cancelled), 0);
  // Lookups finish in the order they were asked for, so once the later one is
  // delivered the cancelled one has come back too.
  LookupHandle later = platform.AsyncGetHostByName("localhost");
  ASSERT_TRUE(PumpUntil([&] { return !sink.lookups.empty(); }));
  Settle();
  ASSERT_EQ(sink.lookups.size(), 1u);
  EXPECT_EQ(sink.lookups[0].request, later);

  // A completion that has come back but waits behind another one in the same
  // delivery round is held back too when the first one's handler cancels it.
  LookupHandle first = platform.AsyncGetHostByName("localhost");
  LookupHandle second = platform.AsyncGetHostByName("localhost");
  int cancelResult = 1;
  sink.onLookup = [&](const Lookup& done) {
    if (done.request == first) cancelResult = platform.CancelAsyncRequest(second);
  };
  usleep(200000);  // both finish before the loop looks
  ASSERT_TRUE(PumpUntil([&] { return sink.lookups.size() == 2; }));
  Settle();
  EXPECT_EQ(cancelResult, 0);
  ASSERT_EQ(sink.lookups.size(), 2u);
  EXPECT_EQ(sink.lookups[1].request, first);
  EXPECT_EQ(platform.CancelAsyncRequest(first), -1) << "already delivered";
}

TEST_F(LinuxPlatformTest, GoesCleanlyWithLookupsAndSocketsOutstanding) {
  RecordingSink sink;
  loop::EventLoop loop;
  auto platform = std::make_unique<LinuxPlatform>(loop);
  platform->OpenNotifier(&sink);
  SocketHandle s = platform->Socket(kSockStream, kIpProtoTcp);
  ASSERT_GE(s, 0);
  ASSERT_EQ(platform->AsyncSelect(s, kFdAllEvents), 0);
  ASSERT_NE(platform->AsyncGetHostByName("localhost"), 0);
  platform.reset();
  EXPECT_EQ(fcntl(s, F_GETFD), -1) << "the platform closes what is still open";
  for (int i = 0; i < 5; ++i) loop.ProcessReady(10);
  EXPECT_TRUE(sink.lookups.empty());
  EXPECT_TRUE(sink.notes.empty());
}

}  // namespace
}  // namespace toruna::net::testing
