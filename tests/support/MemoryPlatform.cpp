#include "support/MemoryPlatform.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cstring>

namespace toruna::support {

using net::kFdAccept;
using net::kFdClose;
using net::kFdRead;
using net::kFdWrite;

namespace {

constexpr uint32_t kLoopback = 0x0100007F;  // 127.0.0.1 in network byte order
constexpr int kMaxUdpPayload = 65507;
constexpr int kNotSocket = 10038;
constexpr int kNotConnected = 10057;
constexpr int kBadOption = 10042;
constexpr int kInvalid = 10022;
constexpr int kAddressInUse = 10048;

}  // namespace

MemoryPlatform::MemoryPlatform() = default;

MemoryPlatform::Sock* MemoryPlatform::Find(net::SocketHandle s) {
  auto it = sockets_.find(s);
  return it == sockets_.end() ? nullptr : &it->second;
}

int MemoryPlatform::Fail(int error) {
  lastError_ = error;
  return -1;
}

int MemoryPlatform::NewHandle() {
  int handle = 3;
  for (const auto& [used, sock] : sockets_) {
    if (used != handle) break;
    ++handle;
  }
  return handle;
}

void MemoryPlatform::Post(int handle, const Sock& s, uint16_t event, uint16_t error) {
  queue_.push_back(Item{handle, s.generation, event, error});
}

void MemoryPlatform::Reevaluate(int handle) {
  Sock* s = Find(handle);
  if (s == nullptr) return;
  if (!s->stream) {
    if (s->readArmed && (s->mask & kFdRead) && !s->datagrams.empty()) {
      s->readArmed = false;
      Post(handle, *s, kFdRead);
    }
    return;
  }
  if (s->phase == Phase::Listening) {
    if (s->readArmed && (s->mask & kFdAccept) && !s->backlog.empty()) {
      s->readArmed = false;
      Post(handle, *s, kFdAccept);
    }
    return;
  }
  if (s->phase != Phase::Connected) return;
  Conn& c = *conns_[static_cast<size_t>(s->conn)];
  if (s->writeArmed && (s->mask & kFdWrite) && c.toClient.size() < c.window) {
    s->writeArmed = false;
    Post(handle, *s, kFdWrite);
  }
  if (s->closeDone) return;
  if (c.clientReset) {
    s->closeDone = true;
    Post(handle, *s, kFdClose, 10054);
    return;
  }
  const bool readWanted = s->readArmed && (s->mask & kFdRead);
  if (c.toServer.empty()) {
    if (c.clientClosed) {
      s->closeDone = true;
      Post(handle, *s, kFdClose);
    }
  } else if (readWanted) {
    s->readArmed = false;
    Post(handle, *s, kFdRead);
  }
}

bool MemoryPlatform::Pump(int maxRounds) {
  for (int round = 0; round < maxRounds; ++round) {
    if (!queue_.empty()) {
      while (!queue_.empty()) {
        const Item item = queue_.front();
        queue_.pop_front();
        const Sock* s = Find(item.handle);
        if (sink_ == nullptr || s == nullptr || s->generation != item.generation ||
            !(s->mask & item.event)) {
          continue;
        }
        sink_->OnSocketNotify(item.handle, item.event, item.error);
      }
    } else if (!deferred_.empty()) {
      std::vector<std::function<void()>> work;
      work.swap(deferred_);
      for (auto& f : work) f();
    } else if (!delayed_.empty()) {
      std::vector<std::function<void()>> work;
      work.swap(delayed_);
      for (auto& f : work) f();
    } else {
      return true;
    }
  }
  return false;
}

int MemoryPlatform::ConnectClient(uint16_t port) {
  for (auto& [handle, s] : sockets_) {
    if (!s.stream || s.phase != Phase::Listening || s.port != port) continue;
    auto c = std::make_unique<Conn>();
    c->clientPort = static_cast<uint16_t>(50000 + conns_.size() % 10000);
    conns_.push_back(std::move(c));
    s.backlog.push_back(static_cast<int>(conns_.size() - 1));
    Reevaluate(handle);
    return static_cast<int>(conns_.size() - 1);
  }
  return -1;
}

void MemoryPlatform::ClientSend(int conn, std::span<const uint8_t> bytes) {
  Conn& c = *conns_.at(static_cast<size_t>(conn));
  // After the server's close the bytes would only bring a reset back.
  if (c.clientClosed || c.clientReset || c.serverClosed) return;
  c.toServer.insert(c.toServer.end(), bytes.begin(), bytes.end());
  Reevaluate(c.serverHandle);
}

std::vector<uint8_t> MemoryPlatform::ClientRead(int conn, size_t max) {
  Conn& c = *conns_.at(static_cast<size_t>(conn));
  const size_t n = std::min(max, c.toClient.size());
  std::vector<uint8_t> out(c.toClient.begin(), c.toClient.begin() + static_cast<std::ptrdiff_t>(n));
  c.toClient.erase(c.toClient.begin(), c.toClient.begin() + static_cast<std::ptrdiff_t>(n));
  Reevaluate(c.serverHandle);
  return out;
}

void MemoryPlatform::ClientClose(int conn) {
  Conn& c = *conns_.at(static_cast<size_t>(conn));
  if (c.clientReset) return;
  c.clientClosed = true;
  Reevaluate(c.serverHandle);
}

void MemoryPlatform::ClientReset(int conn) {
  Conn& c = *conns_.at(static_cast<size_t>(conn));
  if (c.clientReset || c.serverClosed) return;
  c.clientReset = true;
  c.toServer.clear();
  c.toClient.clear();
  Reevaluate(c.serverHandle);
}

void MemoryPlatform::SetWindow(int conn, size_t window) {
  Conn& c = *conns_.at(static_cast<size_t>(conn));
  c.window = window;
  Reevaluate(c.serverHandle);
}

bool MemoryPlatform::SendDatagram(uint16_t port, uint32_t fromAddr, uint16_t fromPort,
                                  std::span<const uint8_t> bytes) {
  for (auto& [handle, s] : sockets_) {
    if (s.stream || s.port != port) continue;
    s.datagrams.push_back(Datagram{fromAddr, fromPort, {bytes.begin(), bytes.end()}});
    Reevaluate(handle);
    return true;
  }
  return false;
}

bool MemoryPlatform::OpenNotifier(net::NotificationSink* sink) {
  sink_ = sink;
  return true;
}

bool MemoryPlatform::CloseNotifier() {
  sink_ = nullptr;
  return true;
}

net::SocketHandle MemoryPlatform::Socket(int type, int /*protocol*/) {
  const int handle = NewHandle();
  Sock& s = sockets_[handle];
  s.generation = nextGeneration_++;
  s.stream = type == net::kSockStream;
  return handle;
}

int MemoryPlatform::AsyncSelect(net::SocketHandle s, uint16_t mask) {
  Sock* sock = Find(s);
  if (sock == nullptr) return Fail(kNotSocket);
  sock->mask = mask;
  Reevaluate(s);
  return 0;
}

int MemoryPlatform::Bind(net::SocketHandle s, const net::SockAddrIn& local) {
  Sock* sock = Find(s);
  if (sock == nullptr) return Fail(kNotSocket);
  uint16_t port = local.port;
  if (port == 0) port = nextEphemeral_++;
  for (const auto& [handle, other] : sockets_) {
    if (handle != s && other.stream == sock->stream && other.port == port) {
      return Fail(kAddressInUse);
    }
  }
  sock->addr = local.addr;
  sock->port = port;
  return 0;
}

int MemoryPlatform::Listen(net::SocketHandle s, int /*backlog*/) {
  Sock* sock = Find(s);
  if (sock == nullptr) return Fail(kNotSocket);
  if (!sock->stream) return Fail(10045);
  if (sock->port == 0) sock->port = nextEphemeral_++;
  sock->phase = Phase::Listening;
  sock->readArmed = true;
  Reevaluate(s);
  return 0;
}

net::SocketHandle MemoryPlatform::Accept(net::SocketHandle s, net::SockAddrIn* peer) {
  Sock* sock = Find(s);
  if (sock == nullptr) return Fail(kNotSocket);
  if (sock->phase != Phase::Listening) return Fail(kInvalid);
  sock->readArmed = true;
  if (sock->backlog.empty()) {
    Reevaluate(s);
    return Fail(net::kErrWouldBlock);
  }
  const int conn = sock->backlog.front();
  sock->backlog.pop_front();
  const uint16_t mask = sock->mask;
  const int handle = NewHandle();
  Sock& accepted = sockets_[handle];  // may move nothing: std::map nodes are stable
  accepted.generation = nextGeneration_++;
  accepted.stream = true;
  accepted.mask = mask;
  accepted.phase = Phase::Connected;
  accepted.addr = kLoopback;
  accepted.port = 13131;
  accepted.conn = conn;
  Conn& c = *conns_[static_cast<size_t>(conn)];
  c.serverHandle = handle;
  if (peer != nullptr) {
    peer->addr = kLoopback;
    peer->port = c.clientPort;
  }
  Post(handle, accepted, kFdWrite);
  Reevaluate(handle);
  Reevaluate(s);
  return handle;
}

int MemoryPlatform::Connect(net::SocketHandle s, const net::SockAddrIn& /*remote*/) {
  if (Find(s) == nullptr) return Fail(kNotSocket);
  return Fail(net::kErrConnectionRefused);
}

int MemoryPlatform::Send(net::SocketHandle s, const uint8_t* data, int len) {
  Sock* sock = Find(s);
  if (sock == nullptr) return Fail(kNotSocket);
  if (len < 0) return Fail(10014);
  if (!sock->stream || sock->phase != Phase::Connected) return Fail(kNotConnected);
  Conn& c = *conns_[static_cast<size_t>(sock->conn)];
  if (c.clientReset) return Fail(10058);
  const size_t room = c.toClient.size() < c.window ? c.window - c.toClient.size() : 0;
  if (room == 0) {
    sock->writeArmed = true;
    return Fail(net::kErrWouldBlock);
  }
  const size_t n = std::min(room, static_cast<size_t>(len));
  // A client that closed its side still takes bytes; it never reads them.
  if (!c.clientClosed) c.toClient.insert(c.toClient.end(), data, data + n);
  return static_cast<int>(n);
}

int MemoryPlatform::SendTo(net::SocketHandle s, const uint8_t* data, int len,
                           const net::SockAddrIn& to) {
  Sock* sock = Find(s);
  if (sock == nullptr) return Fail(kNotSocket);
  if (len < 0) return Fail(10014);
  if (sock->stream) return Fail(10056);
  if (len > kMaxUdpPayload) return Fail(net::kErrMessageTooLong);
  // As on Linux: a datagram cannot go to port 0.
  if (to.port == 0) return Fail(kInvalid);
  if (sock->port == 0) sock->port = nextEphemeral_++;
  sent.push_back(SentDatagram{sock->port, to.addr, to.port, {data, data + len}});
  return len;
}

int MemoryPlatform::Recv(net::SocketHandle s, uint8_t* buf, int len, int flags) {
  return Receive(s, buf, len, flags, nullptr);
}

int MemoryPlatform::RecvFrom(net::SocketHandle s, uint8_t* buf, int len, int flags,
                             net::SockAddrIn* from) {
  return Receive(s, buf, len, flags, from);
}

int MemoryPlatform::Receive(net::SocketHandle s, uint8_t* buf, int len, int flags,
                            net::SockAddrIn* from) {
  Sock* sock = Find(s);
  if (sock == nullptr) return Fail(kNotSocket);
  if (len < 0) return Fail(10014);
  const bool peek = (flags & net::kMsgPeek) != 0;
  sock->readArmed = true;  // every receive call re-arms FD_READ
  int result = 0;
  if (!sock->stream) {
    if (sock->datagrams.empty()) {
      result = Fail(net::kErrWouldBlock);
    } else {
      const Datagram& d = sock->datagrams.front();
      const size_t n = std::min(d.bytes.size(), static_cast<size_t>(len));
      std::copy_n(d.bytes.begin(), n, buf);
      if (from != nullptr) {
        from->addr = d.addr;
        from->port = d.port;
      }
      const bool truncated = d.bytes.size() > static_cast<size_t>(len);
      result = truncated ? Fail(net::kErrMessageTooLong) : static_cast<int>(n);
      if (!peek) sock->datagrams.pop_front();
    }
  } else if (sock->phase != Phase::Connected) {
    result = Fail(kNotConnected);
  } else {
    Conn& c = *conns_[static_cast<size_t>(sock->conn)];
    if (c.clientReset && !c.resetReported) {
      c.resetReported = true;
      result = Fail(net::kErrConnectionReset);
    } else if (!c.toServer.empty()) {
      const size_t n = std::min(c.toServer.size(), static_cast<size_t>(len));
      std::copy_n(c.toServer.begin(), n, buf);
      if (!peek) c.toServer.erase(c.toServer.begin(), c.toServer.begin() + static_cast<std::ptrdiff_t>(n));
      result = static_cast<int>(n);
    } else if (c.clientClosed || c.clientReset) {
      result = 0;
    } else {
      result = Fail(net::kErrWouldBlock);
    }
  }
  const int error = lastError_;
  Reevaluate(s);
  lastError_ = error;
  return result;
}

int MemoryPlatform::CloseSocket(net::SocketHandle s) {
  Sock* sock = Find(s);
  if (sock == nullptr) return Fail(kNotSocket);
  if (sock->stream && sock->phase == Phase::Connected) {
    Conn& c = *conns_[static_cast<size_t>(sock->conn)];
    c.serverClosed = true;
    c.serverHandle = -1;
  }
  // Connections still waiting for an accept are refused with the listener.
  for (int conn : sock->backlog) conns_[static_cast<size_t>(conn)]->serverClosed = true;
  sockets_.erase(s);
  return 0;
}

int MemoryPlatform::GetSockOpt(net::SocketHandle s, int level, int option, int32_t* value) {
  Sock* sock = Find(s);
  if (sock == nullptr) return Fail(kNotSocket);
  if (level != net::kSolSocket) {
    *value = 0;
    return 0;
  }
  switch (option) {
    case net::kSoMaxMsgSize:
      if (sock->stream) return Fail(kBadOption);
      *value = kMaxUdpPayload;
      return 0;
    case net::kSoSndBuf:
      *value = sendBufferSize;
      return 0;
    case net::kSoRcvBuf:
      *value = receiveBufferSize;
      return 0;
    default:
      *value = 0;
      return 0;
  }
}

int MemoryPlatform::SetSockOpt(net::SocketHandle s, int /*level*/, int /*option*/,
                               int32_t /*value*/) {
  if (Find(s) == nullptr) return Fail(kNotSocket);
  return 0;
}

int MemoryPlatform::PendingBytes(net::SocketHandle s, uint32_t* count) {
  Sock* sock = Find(s);
  if (sock == nullptr) return Fail(kNotSocket);
  if (!sock->stream) {
    *count = sock->datagrams.empty() ? 0 : static_cast<uint32_t>(sock->datagrams.front().bytes.size());
  } else if (sock->phase == Phase::Connected) {
    *count = static_cast<uint32_t>(conns_[static_cast<size_t>(sock->conn)]->toServer.size());
  } else {
    *count = 0;
  }
  return 0;
}

int MemoryPlatform::GetSockName(net::SocketHandle s, net::SockAddrIn* local) {
  Sock* sock = Find(s);
  if (sock == nullptr) return Fail(kNotSocket);
  local->addr = sock->addr != 0 ? sock->addr : kLoopback;
  local->port = sock->port;
  return 0;
}

int MemoryPlatform::GetPeerName(net::SocketHandle s, net::SockAddrIn* peer) {
  Sock* sock = Find(s);
  if (sock == nullptr) return Fail(kNotSocket);
  if (!sock->stream || sock->phase != Phase::Connected) return Fail(kNotConnected);
  peer->addr = kLoopback;
  peer->port = conns_[static_cast<size_t>(sock->conn)]->clientPort;
  return 0;
}

int MemoryPlatform::GetHostName(std::string* name) {
  *name = "fuzzhost";
  return 0;
}

uint32_t MemoryPlatform::InetAddr(const std::string& text) {
  in_addr addr{};
  if (text.find('.') == std::string::npos || inet_aton(text.c_str(), &addr) == 0) {
    return net::kInaddrNone;
  }
  return addr.s_addr;
}

std::string MemoryPlatform::InetNtoa(uint32_t addr) {
  in_addr in{};
  in.s_addr = addr;
  char buf[INET_ADDRSTRLEN] = {};
  inet_ntop(AF_INET, &in, buf, sizeof buf);
  return buf;
}

int MemoryPlatform::GetHostByName(const std::string& /*name*/, uint32_t* /*addr*/) {
  return Fail(net::kErrHostNotFound);
}

net::LookupHandle MemoryPlatform::AsyncGetHostByName(const std::string& /*name*/) {
  Fail(net::kErrHostNotFound);
  return 0;
}

int MemoryPlatform::CancelAsyncRequest(net::LookupHandle /*request*/) { return Fail(kInvalid); }

bool MemoryPlatform::DeferFor(std::chrono::microseconds /*delay*/, std::function<void()> work) {
  delayed_.push_back(std::move(work));
  return true;
}

bool MemoryPlatform::Defer(std::function<void()> work) {
  deferred_.push_back(std::move(work));
  return true;
}

}  // namespace toruna::support
