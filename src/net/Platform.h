#pragma once
// The thin interface over the operating system's socket calls that the socket
// layer makes. Failures come back as the socket layer's platform error numbers
// (10035 would block, 10054 reset, 11001 host not found, ...), never as errno.
// LinuxPlatform is the real implementation; tests wrap it to inject failures.

#include <cstdint>
#include <string>

namespace toruna::net {

using SocketHandle = int32_t;  // -1: no socket
using LookupHandle = int32_t;  // 0: no lookup was started

// Network events of a socket notification.
inline constexpr uint16_t kFdRead = 1;
inline constexpr uint16_t kFdWrite = 2;
inline constexpr uint16_t kFdOob = 4;
inline constexpr uint16_t kFdAccept = 8;
inline constexpr uint16_t kFdConnect = 16;
inline constexpr uint16_t kFdClose = 32;
inline constexpr uint16_t kFdAllEvents = 59;  // read, write, accept, connect, close

// Platform error numbers used by name in the socket layer.
inline constexpr int kErrInterrupted = 10004;
inline constexpr int kErrBadAddress = 10014;
inline constexpr int kErrInvalidArgument = 10022;
inline constexpr int kErrTooManyOpenFiles = 10024;
inline constexpr int kErrWouldBlock = 10035;
inline constexpr int kErrNotSocket = 10038;
inline constexpr int kErrMessageTooLong = 10040;
inline constexpr int kErrBadOption = 10042;
inline constexpr int kErrAddressFamily = 10047;
inline constexpr int kErrAddressNotAvailable = 10049;
inline constexpr int kErrNetworkDown = 10050;
inline constexpr int kErrNetworkUnreachable = 10051;
inline constexpr int kErrConnectionAborted = 10053;
inline constexpr int kErrConnectionReset = 10054;
inline constexpr int kErrNoBufferSpace = 10055;
inline constexpr int kErrConnectionRefused = 10061;
inline constexpr int kErrHostUnreachable = 10065;
inline constexpr int kErrHostNotFound = 11001;

// Socket types, protocols and options, numbered as the socket layer knows them.
inline constexpr int kSockStream = 1;
inline constexpr int kSockDgram = 2;
inline constexpr int kIpProtoTcp = 6;
inline constexpr int kIpProtoUdp = 17;
inline constexpr int kSolSocket = 0xFFFF;
inline constexpr int kSoKeepAlive = 0x0008;
inline constexpr int kSoBroadcast = 0x0020;
inline constexpr int kSoSndBuf = 0x1001;
inline constexpr int kSoRcvBuf = 0x1002;
inline constexpr int kSoMaxMsgSize = 0x2003;  // largest datagram: 65507 for IPv4 UDP
inline constexpr int kTcpNoDelay = 0x0001;     // at level kIpProtoTcp
// Keepalive timing (seconds, probes) and the time unacknowledged data may wait
// before the connection is dropped (milliseconds), all at level kIpProtoTcp.
inline constexpr int kTcpKeepIdle = 0x0003;
inline constexpr int kTcpKeepCnt = 0x0010;
inline constexpr int kTcpKeepIntvl = 0x0011;
inline constexpr int kTcpUserTimeout = 0x0012;
inline constexpr int kMsgPeek = 2;

inline constexpr uint32_t kInaddrNone = 0xFFFFFFFFu;

// The listen backlog that asks for the largest queue the system allows (SOMAXCONN).
inline constexpr int kMaxBacklog = 0x7FFFFFFF;

// An IPv4 socket address: the address in network byte order, the port in host order.
struct SockAddrIn {
  uint32_t addr = 0;
  uint16_t port = 0;
};

// Receives what the platform reports, on the loop's thread, in arrival order.
// The dispatcher implements it.
class NotificationSink {
 public:
  virtual void OnSocketNotify(SocketHandle socket, uint16_t event, uint16_t error) = 0;
  // addr: first IPv4 address in network byte order when error is 0.
  virtual void OnLookupDone(LookupHandle request, uint16_t error, uint32_t addr) = 0;

 protected:
  ~NotificationSink() = default;
};

class Platform {
 public:
  virtual ~Platform() = default;

  // The error number of the last call that failed.
  virtual int LastError() const = 0;

  // Library start and stop: 0 on success, else an error number (Startup) or -1 (Cleanup).
  virtual int Startup() = 0;
  virtual int Cleanup() = 0;

  // Where notifications go. OpenNotifier returns false when no notifier can be set up;
  // CloseNotifier returns false when it cannot be taken down.
  virtual bool OpenNotifier(NotificationSink* sink) = 0;
  virtual bool CloseNotifier() = 0;

  // Calls returning int give -1 on failure (see LastError), else 0 or a count.
  virtual SocketHandle Socket(int type, int protocol) = 0;
  // Asks for notifications of the events in mask (0 stops them). Accepted sockets
  // inherit the selection of their listening socket.
  virtual int AsyncSelect(SocketHandle s, uint16_t mask) = 0;
  virtual int Bind(SocketHandle s, const SockAddrIn& local) = 0;
  // backlog kMaxBacklog: the largest the system allows.
  virtual int Listen(SocketHandle s, int backlog) = 0;
  virtual SocketHandle Accept(SocketHandle s, SockAddrIn* peer) = 0;
  virtual int Connect(SocketHandle s, const SockAddrIn& remote) = 0;
  virtual int Send(SocketHandle s, const uint8_t* data, int len) = 0;
  virtual int SendTo(SocketHandle s, const uint8_t* data, int len, const SockAddrIn& to) = 0;
  virtual int Recv(SocketHandle s, uint8_t* buf, int len, int flags) = 0;
  // from is filled when the call receives a datagram (also on 10040).
  virtual int RecvFrom(SocketHandle s, uint8_t* buf, int len, int flags, SockAddrIn* from) = 0;
  virtual int CloseSocket(SocketHandle s) = 0;
  virtual int GetSockOpt(SocketHandle s, int level, int option, int32_t* value) = 0;
  virtual int SetSockOpt(SocketHandle s, int level, int option, int32_t value) = 0;
  virtual int PendingBytes(SocketHandle s, uint32_t* count) = 0;
  virtual int GetSockName(SocketHandle s, SockAddrIn* local) = 0;
  virtual int GetPeerName(SocketHandle s, SockAddrIn* peer) = 0;
  virtual int GetHostName(std::string* name) = 0;

  // Dotted text to an address; kInaddrNone when the text is not a dotted address
  // (so "255.255.255.255" gives kInaddrNone, as the socket layer expects).
  virtual uint32_t InetAddr(const std::string& text) = 0;
  virtual std::string InetNtoa(uint32_t addr) = 0;

  // Blocking IPv4 lookup of a name: 0 and the first address, or -1 (11001..11004).
  virtual int GetHostByName(const std::string& name, uint32_t* addr) = 0;
  // Asynchronous lookup; the result comes as OnLookupDone. 0 when it could not be started.
  virtual LookupHandle AsyncGetHostByName(const std::string& name) = 0;
  // A cancelled request's completion is never delivered.
  virtual int CancelAsyncRequest(LookupHandle request) = 0;
};

}  // namespace toruna::net
