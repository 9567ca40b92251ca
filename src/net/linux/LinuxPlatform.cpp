#include "net/linux/LinuxPlatform.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

#include "net/linux/ErrnoMap.h"

namespace toruna::net {

namespace {

// The largest payload of an IPv4 UDP datagram: 65535 - 20 (IP header) - 8 (UDP header).
constexpr int32_t kMaxUdpPayload = 65507;
constexpr int kOptionKnownButUnsupported = -1;

sockaddr_in ToSockaddr(const SockAddrIn& in) {
  sockaddr_in out{};
  out.sin_family = AF_INET;
  out.sin_port = htons(in.port);
  out.sin_addr.s_addr = in.addr;
  return out;
}

SockAddrIn FromSockaddr(const sockaddr_in& in) {
  SockAddrIn out;
  out.addr = in.sin_addr.s_addr;
  out.port = ntohs(in.sin_port);
  return out;
}

// Finds the Linux option behind an option number of the layer's numbering.
// Returns false when the level is unknown; *sysOption is kOptionKnownButUnsupported
// when the level is known but the option is not.
bool MapOption(int level, int option, int* sysLevel, int* sysOption) {
  if (level == kSolSocket) {
    *sysLevel = SOL_SOCKET;
    switch (option) {
      case 0x0004: *sysOption = SO_REUSEADDR; break;
      case kSoKeepAlive: *sysOption = SO_KEEPALIVE; break;
      case 0x0010: *sysOption = SO_DONTROUTE; break;
      case kSoBroadcast: *sysOption = SO_BROADCAST; break;
      case kSoSndBuf: *sysOption = SO_SNDBUF; break;
      case kSoRcvBuf: *sysOption = SO_RCVBUF; break;
      case 0x1007: *sysOption = SO_ERROR; break;
      case 0x1008: *sysOption = SO_TYPE; break;
      default: *sysOption = kOptionKnownButUnsupported; break;
    }
    return true;
  }
  if (level == kIpProtoTcp) {
    *sysLevel = IPPROTO_TCP;
    switch (option) {
      case kTcpNoDelay: *sysOption = TCP_NODELAY; break;
      case kTcpKeepIdle: *sysOption = TCP_KEEPIDLE; break;
      case kTcpKeepCnt: *sysOption = TCP_KEEPCNT; break;
      case kTcpKeepIntvl: *sysOption = TCP_KEEPINTVL; break;
      case kTcpUserTimeout: *sysOption = TCP_USER_TIMEOUT; break;
      default: *sysOption = kOptionKnownButUnsupported; break;
    }
    return true;
  }
  return false;
}

// What accept reports for a connection that died while it waited (Linux passes the
// new connection's pending error on): not a failure of the listener; the next
// connection is there to take.
bool ConnectionDiedWaiting(int error) {
  switch (error) {
    case ECONNABORTED: case EPROTO: case ENETDOWN: case ENOPROTOOPT: case EHOSTDOWN:
    case ENONET: case EHOSTUNREACH: case EOPNOTSUPP: case ENETUNREACH: case EPERM: case EINTR:
      return true;
    default:
      return false;
  }
}

// No descriptor or no memory for a new connection: it waits until there is.
bool OutOfResources(int error) {
  return error == EMFILE || error == ENFILE || error == ENOBUFS || error == ENOMEM || error == ENOSPC;
}

}  // namespace

LinuxPlatform::LinuxPlatform(loop::EventLoop& loop)
    : loop_(loop),
      events_(loop),
      resolver_(loop, [this](int32_t request, uint16_t error, uint32_t addr) {
        events_.PostLookup(request, error, addr);
      }) {}

LinuxPlatform::~LinuxPlatform() {
  for (int fd : events_.TrackedSockets()) {
    events_.Forget(fd);
    close(fd);
  }
}

int LinuxPlatform::Fail(int error) {
  lastError_ = error;
  return -1;
}

int LinuxPlatform::FailErrno(int savedErrno) { return Fail(PlatformErrorFromErrno(savedErrno)); }

bool LinuxPlatform::OpenNotifier(NotificationSink* sink) {
  events_.SetSink(sink);
  return true;
}

bool LinuxPlatform::CloseNotifier() {
  events_.SetSink(nullptr);
  return true;
}

SocketHandle LinuxPlatform::Socket(int type, int protocol) {
  int fd = socket(AF_INET, type | SOCK_NONBLOCK | SOCK_CLOEXEC, protocol);
  if (fd < 0) return FailErrno(errno);
  int actualType = 0;
  socklen_t len = sizeof actualType;
  getsockopt(fd, SOL_SOCKET, SO_TYPE, &actualType, &len);
  events_.Track(fd, actualType == SOCK_STREAM);
  return fd;
}

int LinuxPlatform::AsyncSelect(SocketHandle s, uint16_t mask) {
  if (!events_.Tracked(s)) return Fail(kErrNotSocket);
  if (!events_.Select(s, mask)) return FailErrno(errno);
  return 0;
}

int LinuxPlatform::Bind(SocketHandle s, const SockAddrIn& local) {
  if (!events_.Tracked(s)) return Fail(kErrNotSocket);
  const sockaddr_in addr = ToSockaddr(local);
  const sockaddr* to = reinterpret_cast<const sockaddr*>(&addr);
  if (bind(s, to, sizeof addr) == 0) return 0;
  int saved = errno;
  if (saved == EADDRINUSE && events_.IsStream(s) && local.port != 0) {
    // A restarted server must take its port back at once from the connections of
    // its predecessor that linger in TIME_WAIT. They carry SO_REUSEADDR (see Listen),
    // so with the option the bind succeeds over them, and still fails over a
    // listener or a bound socket. The option goes again after the bind: a bound
    // socket that does not listen yet is nobody else's to bind as well.
    int on = 1;
    setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    const int rc = bind(s, to, sizeof addr);
    saved = errno;
    int off = 0;
    setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &off, sizeof off);
    if (rc == 0) return 0;
  }
  return FailErrno(saved);
}

int LinuxPlatform::Listen(SocketHandle s, int backlog) {
  if (!events_.Tracked(s)) return Fail(kErrNotSocket);
  if (events_.IsStream(s)) {
    // Connections accepted from now on inherit the option; their TIME_WAIT then
    // does not keep a restarted server from its port (see Bind).
    int on = 1;
    setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  }
  // listen cuts a backlog above the system's limit (net.core.somaxconn) down to it,
  // so kMaxBacklog gets that limit.
  if (listen(s, backlog < 0 ? kMaxBacklog : backlog) != 0) return FailErrno(errno);
  events_.Listening(s);
  return 0;
}

SocketHandle LinuxPlatform::Accept(SocketHandle s, SockAddrIn* peer) {
  if (!events_.Tracked(s)) return Fail(kErrNotSocket);
  sockaddr_in addr{};
  int fd = -1;
  int saved = 0;
  do {
    socklen_t len = sizeof addr;
    fd = accept4(s, reinterpret_cast<sockaddr*>(&addr), &len, SOCK_NONBLOCK | SOCK_CLOEXEC);
    saved = errno;
  } while (fd < 0 && ConnectionDiedWaiting(saved));
  if (fd >= 0 && !events_.Accepted(s, fd)) {
    // The event set has no room for it: nothing would ever be heard of it.
    saved = errno;
    events_.Forget(fd);
    close(fd);
    fd = -1;
  }
  events_.AcceptCalled(s, fd >= 0, fd < 0 && OutOfResources(saved));
  if (fd < 0) return FailErrno(saved);
  if (peer) *peer = FromSockaddr(addr);
  return fd;
}

int LinuxPlatform::Connect(SocketHandle s, const SockAddrIn& remote) {
  if (!events_.Tracked(s)) return Fail(kErrNotSocket);
  // Nobody can be reached at port 0 or at the "any" address (Linux would connect
  // the latter to this host): refused at once.
  if (remote.addr == 0 || remote.port == 0) return Fail(kErrAddressNotAvailable);
  sockaddr_in addr = ToSockaddr(remote);
  if (connect(s, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0) {
    // Stream sockets still report the completion as a notification.
    events_.ConnectedAtOnce(s);
    return 0;
  }
  int saved = errno;
  if (saved == EINPROGRESS || saved == EINTR) {
    events_.ConnectStarted(s);
    return Fail(kErrWouldBlock);
  }
  return FailErrno(saved);
}

int LinuxPlatform::Send(SocketHandle s, const uint8_t* data, int len) {
  if (!events_.Tracked(s)) return Fail(kErrNotSocket);
  if (len < 0) return Fail(kErrBadAddress);
  ssize_t n = send(s, data, static_cast<size_t>(len), MSG_NOSIGNAL);
  if (n < 0) {
    int saved = errno;
    if (saved == EAGAIN || saved == EWOULDBLOCK) events_.SendBlocked(s);
    // After a reset the socket only says it is shut down; it was reset.
    if (saved == EPIPE && events_.Failure(s) != 0) saved = events_.Failure(s);
    return FailErrno(saved);
  }
  return static_cast<int>(n);
}

int LinuxPlatform::SendTo(SocketHandle s, const uint8_t* data, int len, const SockAddrIn& to) {
  if (!events_.Tracked(s)) return Fail(kErrNotSocket);
  if (len < 0) return Fail(kErrBadAddress);
  sockaddr_in addr = ToSockaddr(to);
  ssize_t n = sendto(s, data, static_cast<size_t>(len), MSG_NOSIGNAL,
                     reinterpret_cast<const sockaddr*>(&addr), sizeof addr);
  if (n < 0) {
    int saved = errno;
    if (saved == EAGAIN || saved == EWOULDBLOCK) events_.SendBlocked(s);
    return FailErrno(saved);
  }
  return static_cast<int>(n);
}

int LinuxPlatform::Recv(SocketHandle s, uint8_t* buf, int len, int flags) {
  return Receive(s, buf, len, flags, nullptr);
}

int LinuxPlatform::RecvFrom(SocketHandle s, uint8_t* buf, int len, int flags, SockAddrIn* from) {
  return Receive(s, buf, len, flags, from);
}

int LinuxPlatform::Receive(SocketHandle s, uint8_t* buf, int len, int flags, SockAddrIn* from) {
  if (!events_.Tracked(s)) return Fail(kErrNotSocket);
  if (len < 0) return Fail(kErrBadAddress);
  bool stream = events_.IsStream(s);
  int sysFlags = (flags & kMsgPeek) ? MSG_PEEK : 0;
  ssize_t n;
  sockaddr_in addr{};
  socklen_t addrLen = sizeof addr;
  if (stream) {
    n = recv(s, buf, static_cast<size_t>(len), sysFlags);
  } else {
    // MSG_TRUNC makes the call return the datagram's real length, so a datagram
    // longer than the buffer is recognised (its first len bytes are in buf).
    n = recvfrom(s, buf, static_cast<size_t>(len), sysFlags | MSG_TRUNC,
                 reinterpret_cast<sockaddr*>(&addr), &addrLen);
  }
  int saved = errno;
  // Every receive call re-arms FD_READ, whatever its outcome.
  events_.ReceiveCalled(s);
  if (n < 0) return FailErrno(saved);
  // After a reset the socket reads as ended; it was reset.
  if (stream && n == 0 && len > 0 && events_.Failure(s) != 0) return FailErrno(events_.Failure(s));
  if (!stream) {
    if (from) *from = FromSockaddr(addr);
    if (n > len) return Fail(kErrMessageTooLong);
  }
  return static_cast<int>(n);
}

int LinuxPlatform::CloseSocket(SocketHandle s) {
  if (!events_.Tracked(s)) return Fail(kErrNotSocket);
  events_.Forget(s);
  // The descriptor is released even when close reports an error (EINTR, EIO).
  if (close(s) != 0 && errno == EBADF) return Fail(kErrNotSocket);
  return 0;
}

int LinuxPlatform::GetSockOpt(SocketHandle s, int level, int option, int32_t* value) {
  if (!events_.Tracked(s)) return Fail(kErrNotSocket);
  if (level == kSolSocket && option == kSoMaxMsgSize) {
    if (events_.IsStream(s)) return Fail(kErrBadOption);
    *value = kMaxUdpPayload;
    return 0;
  }
  int sysLevel = 0;
  int sysOption = 0;
  if (!MapOption(level, option, &sysLevel, &sysOption)) return Fail(kErrInvalidArgument);
  if (sysOption == kOptionKnownButUnsupported) return Fail(kErrBadOption);
  if (sysLevel == IPPROTO_TCP && !events_.IsStream(s)) return Fail(kErrBadOption);
  int result = 0;
  socklen_t len = sizeof result;
  if (getsockopt(s, sysLevel, sysOption, &result, &len) != 0) return FailErrno(errno);
  if (sysLevel == SOL_SOCKET && (sysOption == SO_SNDBUF || sysOption == SO_RCVBUF)) {
    // Linux reports twice the size asked for (its bookkeeping share); give back the
    // usable size, so that a size set reads back unchanged.
    result /= 2;
  } else if (sysLevel == SOL_SOCKET && sysOption == SO_ERROR && result != 0) {
    result = PlatformErrorFromErrno(result);
  }
  *value = result;
  return 0;
}

int LinuxPlatform::SetSockOpt(SocketHandle s, int level, int option, int32_t value) {
  if (!events_.Tracked(s)) return Fail(kErrNotSocket);
  if (level == kSolSocket && option == kSoMaxMsgSize) return Fail(kErrBadOption);  // read-only
  int sysLevel = 0;
  int sysOption = 0;
  if (!MapOption(level, option, &sysLevel, &sysOption)) return Fail(kErrInvalidArgument);
  if (sysOption == kOptionKnownButUnsupported ||
      (sysLevel == SOL_SOCKET && (sysOption == SO_ERROR || sysOption == SO_TYPE))) {
    return Fail(kErrBadOption);
  }
  if (sysLevel == IPPROTO_TCP && !events_.IsStream(s)) return Fail(kErrBadOption);
  int v = value;
  if (setsockopt(s, sysLevel, sysOption, &v, sizeof v) != 0) return FailErrno(errno);
  return 0;
}

int LinuxPlatform::PendingBytes(SocketHandle s, uint32_t* count) {
  if (!events_.Tracked(s)) return Fail(kErrNotSocket);
  int n = 0;
  if (ioctl(s, FIONREAD, &n) != 0) return FailErrno(errno);
  *count = n < 0 ? 0 : static_cast<uint32_t>(n);
  return 0;
}

int LinuxPlatform::GetSockName(SocketHandle s, SockAddrIn* local) {
  return ReadAddress(s, getsockname, local);
}

int LinuxPlatform::GetPeerName(SocketHandle s, SockAddrIn* peer) {
  return ReadAddress(s, getpeername, peer);
}

int LinuxPlatform::ReadAddress(SocketHandle s, AddressCall call, SockAddrIn* out) {
  if (!events_.Tracked(s)) return Fail(kErrNotSocket);
  sockaddr_in addr{};
  socklen_t len = sizeof addr;
  if (call(s, reinterpret_cast<sockaddr*>(&addr), &len) != 0) return FailErrno(errno);
  *out = FromSockaddr(addr);
  return 0;
}

int LinuxPlatform::GetHostName(std::string* name) {
  char buf[256] = {};
  if (gethostname(buf, sizeof buf - 1) != 0) return FailErrno(errno);
  *name = buf;
  return 0;
}

uint32_t LinuxPlatform::InetAddr(const std::string& text) {
  // Every form the address parser knows is an address, the dotted one and the
  // shorter ones ("10.1", a single number such as "2130706433"); anything else is a
  // name to look up.
  in_addr addr{};
  if (inet_aton(text.c_str(), &addr) == 0) return kInaddrNone;
  return addr.s_addr;
}

std::string LinuxPlatform::InetNtoa(uint32_t addr) {
  in_addr in{};
  in.s_addr = addr;
  char buf[INET_ADDRSTRLEN] = {};
  inet_ntop(AF_INET, &in, buf, sizeof buf);
  return buf;
}

int LinuxPlatform::GetHostByName(const std::string& name, uint32_t* addr) {
  int error = NameResolver::Lookup(name, addr);
  if (error != 0) return Fail(error);
  return 0;
}

LookupHandle LinuxPlatform::AsyncGetHostByName(const std::string& name) {
  int error = 0;
  LookupHandle request = resolver_.Start(name, &error);
  if (request == 0) Fail(error);
  return request;
}

int LinuxPlatform::CancelAsyncRequest(LookupHandle request) {
  bool pending = resolver_.Cancel(request);
  bool queued = events_.DropLookup(request);
  if (!pending && !queued) return Fail(kErrInvalidArgument);
  return 0;
}

}  // namespace toruna::net
