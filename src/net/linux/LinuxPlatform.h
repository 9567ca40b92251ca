#pragma once
// The socket layer's platform calls on Linux: non-blocking IPv4 sockets whose
// readiness is turned into the layer's notifications (SocketEvents) and whose
// failures are reported as the layer's platform error numbers.
// This class owns the sockets it creates or accepts: what is still open when it
// goes is closed. It does not own the loop.

#include <sys/socket.h>

#include "loop/EventLoop.h"
#include "net/Platform.h"
#include "net/linux/NameResolver.h"
#include "net/linux/SocketEvents.h"

namespace toruna::net {

class LinuxPlatform : public Platform {
 public:
  explicit LinuxPlatform(loop::EventLoop& loop);
  ~LinuxPlatform() override;
  LinuxPlatform(const LinuxPlatform&) = delete;
  LinuxPlatform& operator=(const LinuxPlatform&) = delete;

  int LastError() const override { return lastError_; }
  int Startup() override { return 0; }
  int Cleanup() override { return 0; }
  bool OpenNotifier(NotificationSink* sink) override;
  bool CloseNotifier() override;

  SocketHandle Socket(int type, int protocol) override;
  int AsyncSelect(SocketHandle s, uint16_t mask) override;
  int Bind(SocketHandle s, const SockAddrIn& local) override;
  int Listen(SocketHandle s, int backlog) override;
  SocketHandle Accept(SocketHandle s, SockAddrIn* peer) override;
  int Connect(SocketHandle s, const SockAddrIn& remote) override;
  int Send(SocketHandle s, const uint8_t* data, int len) override;
  int SendTo(SocketHandle s, const uint8_t* data, int len, const SockAddrIn& to) override;
  int Recv(SocketHandle s, uint8_t* buf, int len, int flags) override;
  int RecvFrom(SocketHandle s, uint8_t* buf, int len, int flags, SockAddrIn* from) override;
  int CloseSocket(SocketHandle s) override;
  int GetSockOpt(SocketHandle s, int level, int option, int32_t* value) override;
  int SetSockOpt(SocketHandle s, int level, int option, int32_t value) override;
  int PendingBytes(SocketHandle s, uint32_t* count) override;
  int GetSockName(SocketHandle s, SockAddrIn* local) override;
  int GetPeerName(SocketHandle s, SockAddrIn* peer) override;
  int GetHostName(std::string* name) override;

  uint32_t InetAddr(const std::string& text) override;
  std::string InetNtoa(uint32_t addr) override;

  int GetHostByName(const std::string& name, uint32_t* addr) override;
  LookupHandle AsyncGetHostByName(const std::string& name) override;
  int CancelAsyncRequest(LookupHandle request) override;

 private:
  // getsockname or getpeername.
  using AddressCall = int (*)(int, ::sockaddr*, ::socklen_t*);
  int ReadAddress(SocketHandle s, AddressCall call, SockAddrIn* out);
  int Fail(int error);
  int FailErrno(int savedErrno);
  int Receive(SocketHandle s, uint8_t* buf, int len, int flags, SockAddrIn* from);

  loop::EventLoop& loop_;
  SocketEvents events_;
  NameResolver resolver_;  // after events_: its completions are posted there
  int lastError_ = 0;
};

}  // namespace toruna::net
