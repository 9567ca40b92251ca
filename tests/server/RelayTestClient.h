#pragma once
// A small client of the server for in-process tests that sends raw bytes and
// cuts the frames it receives: either a plain non-blocking POSIX socket on
// 127.0.0.1 (for a server on the real platform), or one connection of the
// in-memory platform, whose bytes move only when that platform is pumped.

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cerrno>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "protocol/Frame.h"
#include "support/MemoryPlatform.h"

namespace toruna::server::testing {

using Bytes = std::vector<uint8_t>;

inline Bytes Text(const std::string& s) { return Bytes(s.begin(), s.end()); }

// prefix followed by n in decimal.
inline std::string Numbered(const char* prefix, int n) {
  std::string s(prefix);
  s += std::to_string(n);
  return s;
}

class RelayTestClient {
 public:
  explicit RelayTestClient(int32_t port, int receiveBuffer = 0) {
    fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
    if (receiveBuffer > 0) ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    // A loopback connect completes against the listen backlog without the server.
    connected_ = ::connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    ::fcntl(fd_, F_SETFL, ::fcntl(fd_, F_GETFL) | O_NONBLOCK);
    int one = 1;
    ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  }
  // window: how many unread bytes the connection holds before the server's
  // sends block (0: the platform's default).
  RelayTestClient(support::MemoryPlatform& platform, uint16_t port, size_t window = 0)
      : memory_(&platform), conn_(platform.ConnectClient(port)) {
    connected_ = conn_ >= 0;
    if (connected_ && window > 0) platform.SetWindow(conn_, window);
  }
  ~RelayTestClient() { Close(); }
  RelayTestClient(const RelayTestClient&) = delete;
  RelayTestClient& operator=(const RelayTestClient&) = delete;

  bool Connected() const { return connected_; }

  // Each call is one write on the wire (the server may still see it split or merged).
  void Send(const Bytes& bytes) {
    if (memory_ != nullptr) {
      if (conn_ >= 0 && !closed_) memory_->ClientSend(conn_, bytes);
      return;
    }
    size_t done = 0;
    while (done < bytes.size()) {
      ssize_t n = ::send(fd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
      if (n > 0) done += static_cast<size_t>(n);
      else if (n < 0 && errno != EAGAIN && errno != EINTR) return;
    }
  }

  void Close() {
    if (memory_ != nullptr) {
      if (conn_ >= 0 && !closed_) memory_->ClientClose(conn_);
      closed_ = true;
      return;
    }
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }
  // Closes with a reset instead of an orderly end.
  void Abort() {
    if (memory_ != nullptr) {
      if (conn_ >= 0 && !closed_) memory_->ClientReset(conn_);
      closed_ = true;
      return;
    }
    linger l{1, 0};
    ::setsockopt(fd_, SOL_SOCKET, SO_LINGER, &l, sizeof l);
    Close();
  }

  // From now on the bytes that arrive stay in the kernel's buffers.
  void StopReading() { reading_ = false; }

  // Reads what has arrived; notes the server's end of the connection.
  void Poll() {
    if (memory_ != nullptr) {
      if (conn_ < 0 || closed_ || !reading_) return;
      const Bytes bytes = memory_->ClientRead(conn_);
      received_.insert(received_.end(), bytes.begin(), bytes.end());
      // As a socket reports the end: once everything before it has been read.
      if (memory_->Connection(conn_).serverClosed) peerClosed_ = true;
      return;
    }
    if (fd_ < 0 || !reading_) return;
    uint8_t buf[65536];
    for (;;) {
      ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
      if (n > 0) {
        received_.insert(received_.end(), buf, buf + n);
        continue;
      }
      if (n == 0 || (errno != EAGAIN && errno != EINTR)) peerClosed_ = true;
      return;
    }
  }

  bool PeerClosed() const { return peerClosed_; }
  const Bytes& Received() const { return received_; }
  size_t Unread() const { return received_.size() - taken_; }

  // The next complete frame, if one has arrived.
  std::optional<Bytes> TakeFrame() {
    if (Unread() < 3) return std::nullopt;
    const uint8_t* at = received_.data() + taken_;
    int16_t length = protocol::GetInt16(at + 1);
    size_t size = static_cast<size_t>(length) + 3;
    if (length < 0 || Unread() < size) return std::nullopt;
    Bytes frame(at, at + size);
    taken_ += size;
    return frame;
  }

 private:
  support::MemoryPlatform* memory_ = nullptr;
  int conn_ = -1;
  bool closed_ = false;
  int fd_ = -1;
  bool connected_ = false;
  bool peerClosed_ = false;
  bool reading_ = true;
  Bytes received_;
  size_t taken_ = 0;
};

}  // namespace toruna::server::testing
