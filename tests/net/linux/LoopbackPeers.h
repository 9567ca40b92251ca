#pragma once
// Plain descriptors on 127.0.0.1 for the far side of what a test drives.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <string>
#include <utility>

namespace toruna::net::testing {

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

// A plain client connected to 127.0.0.1:port; its own port in *clientPort.
inline Fd LoopbackClient(uint16_t port, uint16_t* clientPort) {
  Fd client(::socket(AF_INET, SOCK_STREAM, 0));
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  to.sin_port = htons(port);
  ::connect(client.get(), reinterpret_cast<sockaddr*>(&to), sizeof to);
  sockaddr_in local{};
  socklen_t len = sizeof local;
  ::getsockname(client.get(), reinterpret_cast<sockaddr*>(&local), &len);
  *clientPort = ntohs(local.sin_port);
  return client;
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
