#pragma once
// Shared bench for socket tests: a real loop and platform behind the scriptable
// fake, a dispatcher of its own, a recording alert service, loop pumping with a
// generous deadline, and plain loopback peers for the far side of a connection.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "FakePlatform.h"
#include "net/AlertService.h"
#include "net/CNetSocket.h"
#include "net/modNetSocket.h"
#include "net/linux/EventLoop.h"
#include "net/linux/LinuxPlatform.h"

namespace toruna::net::testing {

class RecordingAlerts : public AlertService {
 public:
  void Alert(const std::string& text, const std::string& caption) override { shown.emplace_back(text, caption); }
  std::vector<std::pair<std::string, std::string>> shown;  // (text, caption)
};

class SocketTestBed {
 public:
  SocketTestBed() { AlertService::Install(&alerts); }
  ~SocketTestBed() { AlertService::Install(nullptr); }
  SocketTestBed(const SocketTestBed&) = delete;
  SocketTestBed& operator=(const SocketTestBed&) = delete;

  std::shared_ptr<CNetSocket> NewSocket() { return CNetSocket::Create(dispatcher); }

  // Pumps the loop until done() holds; false when the deadline passed first.
  bool RunUntil(const std::function<bool()>& done,
                std::chrono::milliseconds limit = std::chrono::milliseconds(5000)) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!done()) {
      if (std::chrono::steady_clock::now() > deadline) return false;
      loop.ProcessReady(10);
    }
    return true;
  }
  // Pumps the loop for a while, for checks that something does NOT happen.
  void RunFor(std::chrono::milliseconds span) {
    RunUntil([] { return false; }, span);
  }

  EventLoop loop;
  LinuxPlatform real{loop};
  FakePlatform fake{real};
  modNetSocket dispatcher{fake};
  RecordingAlerts alerts;
};

// The loopback address in network byte order.
inline uint32_t Loopback() { return htonl(INADDR_LOOPBACK); }

// A plain descriptor closed on scope exit.
class Fd {
 public:
  explicit Fd(int fd = -1) : fd_(fd) {}
  ~Fd() { Reset(); }
  Fd(Fd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  Fd& operator=(Fd&& other) noexcept {
    Reset();
    fd_ = std::exchange(other.fd_, -1);
    return *this;
  }
  int get() const { return fd_; }
  void Reset() {
    if (fd_ != -1) ::close(fd_);
    fd_ = -1;
  }

 private:
  int fd_;
};

// Binds a plain socket of the given type to 127.0.0.1 on an ephemeral port.
inline Fd BoundLoopbackSocket(int type, uint16_t* port) {
  Fd fd(::socket(AF_INET, type, 0));
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ::bind(fd.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr);
  socklen_t len = sizeof addr;
  ::getsockname(fd.get(), reinterpret_cast<sockaddr*>(&addr), &len);
  *port = ntohs(addr.sin_port);
  return fd;
}

// A plain listening socket on 127.0.0.1 for the far side of a connect.
inline Fd LoopbackListener(uint16_t* port) {
  Fd fd = BoundLoopbackSocket(SOCK_STREAM, port);
  ::listen(fd.get(), 5);
  return fd;
}

// A port on 127.0.0.1 where nobody listens (bound once, then released).
inline uint16_t ClosedLoopbackPort() {
  uint16_t port = 0;
  BoundLoopbackSocket(SOCK_STREAM, &port);
  return port;
}

inline void SendDatagram(int fd, uint16_t port, const std::string& bytes) {
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  to.sin_port = htons(port);
  ::sendto(fd, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
}

}  // namespace toruna::net::testing
