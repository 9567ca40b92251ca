#pragma once
// The socket layer's platform in memory, for the tests, the fuzz targets and the
// relay's benchmark: no descriptors, no kernel, the same input always the same
// run. It follows the notification rules of the Linux binding (FD_READ or FD_ACCEPT once, again only after the
// next receive or accept; FD_WRITE after an accept and after a send that would
// have blocked, once there is room; a graceful close only once nothing is left
// unread; a reset at once, with 10054), queues notifications and delivers them
// from Pump, never from inside a platform call, and hands out the lowest free
// handle, as descriptors are, so a handle closed is soon a handle reused.
// The harness plays the peers: clients that connect to a listening socket,
// send, read (with a window that makes the server's sends block), close or
// reset; and datagrams to a bound UDP socket. It is the dispatcher's scheduler
// too, so that deferred and delayed work runs from Pump in the same order.

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "net/Platform.h"
#include "net/Scheduler.h"

namespace toruna::support {

class MemoryPlatform : public net::Platform, public net::Scheduler {
 public:
  // One connection as its client sees it.
  struct Conn {
    std::deque<uint8_t> toServer;  // sent by the client, not yet received
    std::deque<uint8_t> toClient;  // sent by the server, not yet read
    size_t window = 1 << 20;       // toClient's room before the server's sends block
    bool clientClosed = false;
    bool clientReset = false;
    bool resetReported = false;    // the server's receive has seen the reset
    bool serverClosed = false;
    int serverHandle = -1;         // -1 until accepted, and again once closed
    uint16_t clientPort = 0;
  };
  struct Datagram {
    uint32_t addr = 0;  // network byte order
    uint16_t port = 0;
    std::vector<uint8_t> bytes;
  };
  struct SentDatagram {
    uint16_t fromPort = 0;
    uint32_t addr = 0;
    uint16_t port = 0;
    std::vector<uint8_t> bytes;
  };

  MemoryPlatform();

  // The harness's side.
  // A client connecting to the TCP socket listening on port; -1 when none listens.
  int ConnectClient(uint16_t port);
  void ClientSend(int conn, std::span<const uint8_t> bytes);
  // Takes up to max bytes the server sent (room for its blocked sends).
  std::vector<uint8_t> ClientRead(int conn, size_t max = SIZE_MAX);
  void ClientClose(int conn);
  void ClientReset(int conn);
  void SetWindow(int conn, size_t window);
  const Conn& Connection(int conn) const { return *conns_.at(static_cast<size_t>(conn)); }
  size_t ConnectionCount() const { return conns_.size(); }
  // A datagram to the UDP socket bound to port; false when there is none.
  bool SendDatagram(uint16_t port, uint32_t fromAddr, uint16_t fromPort,
                    std::span<const uint8_t> bytes);
  std::vector<SentDatagram> sent;

  // Delivers queued notifications and runs deferred work until neither is left;
  // false when that took more than maxRounds rounds (a loop that never settles).
  bool Pump(int maxRounds = 10000);
  size_t OpenSockets() const { return sockets_.size(); }
  // Buffer sizes reported for SO_SNDBUF and SO_RCVBUF.
  int32_t sendBufferSize = 65536;
  int32_t receiveBufferSize = 65536;

  // Platform.
  int LastError() const override { return lastError_; }
  int Startup() override { return 0; }
  int Cleanup() override { return 0; }
  bool OpenNotifier(net::NotificationSink* sink) override;
  bool CloseNotifier() override;
  net::SocketHandle Socket(int type, int protocol) override;
  int AsyncSelect(net::SocketHandle s, uint16_t mask) override;
  int Bind(net::SocketHandle s, const net::SockAddrIn& local) override;
  int Listen(net::SocketHandle s, int backlog) override;
  net::SocketHandle Accept(net::SocketHandle s, net::SockAddrIn* peer) override;
  int Connect(net::SocketHandle s, const net::SockAddrIn& remote) override;
  int Send(net::SocketHandle s, const uint8_t* data, int len) override;
  int SendTo(net::SocketHandle s, const uint8_t* data, int len, const net::SockAddrIn& to) override;
  int Recv(net::SocketHandle s, uint8_t* buf, int len, int flags) override;
  int RecvFrom(net::SocketHandle s, uint8_t* buf, int len, int flags,
               net::SockAddrIn* from) override;
  int CloseSocket(net::SocketHandle s) override;
  int GetSockOpt(net::SocketHandle s, int level, int option, int32_t* value) override;
  int SetSockOpt(net::SocketHandle s, int level, int option, int32_t value) override;
  int PendingBytes(net::SocketHandle s, uint32_t* count) override;
  int GetSockName(net::SocketHandle s, net::SockAddrIn* local) override;
  int GetPeerName(net::SocketHandle s, net::SockAddrIn* peer) override;
  int GetHostName(std::string* name) override;
  uint32_t InetAddr(const std::string& text) override;
  std::string InetNtoa(uint32_t addr) override;
  int GetHostByName(const std::string& name, uint32_t* addr) override;
  net::LookupHandle AsyncGetHostByName(const std::string& name) override;
  int CancelAsyncRequest(net::LookupHandle request) override;

  // Scheduler: deferred work runs from Pump once the notifications queued with it
  // are delivered; delayed work once nothing else is left to do (time passes only then).
  bool Defer(std::function<void()> work) override;
  bool DeferFor(std::chrono::microseconds delay, std::function<void()> work) override;

 private:
  enum class Phase { Idle, Listening, Connected };
  struct Sock {
    uint64_t generation = 0;
    bool stream = true;
    uint16_t mask = 0;
    Phase phase = Phase::Idle;
    uint32_t addr = 0;
    uint16_t port = 0;
    bool readArmed = true;
    bool writeArmed = false;
    bool closeDone = false;
    int conn = -1;
    std::deque<int> backlog;          // listening: connections waiting for Accept
    std::deque<Datagram> datagrams;   // UDP
  };
  struct Item {
    int handle = 0;
    uint64_t generation = 0;
    uint16_t event = 0;
    uint16_t error = 0;
  };

  Sock* Find(net::SocketHandle s);
  int Fail(int error);
  int NewHandle();
  void Post(int handle, const Sock& s, uint16_t event, uint16_t error = 0);
  // Posts what the socket's state calls for now (level-triggered readiness).
  void Reevaluate(int handle);
  int Receive(net::SocketHandle s, uint8_t* buf, int len, int flags, net::SockAddrIn* from);

  net::NotificationSink* sink_ = nullptr;
  std::map<int, Sock> sockets_;
  std::vector<std::unique_ptr<Conn>> conns_;
  std::deque<Item> queue_;
  std::vector<std::function<void()>> deferred_;
  std::vector<std::function<void()>> delayed_;
  uint64_t nextGeneration_ = 1;
  uint16_t nextEphemeral_ = 40000;
  int lastError_ = 0;
};

}  // namespace toruna::support
