#pragma once
// The TCP connection to a server, on the project's socket layer: it connects by
// name or address, hands every complete frame to its owner, and reports the end
// of the connection once, with a reason and a sentence that says why.
// This class owns its socket object; it does not own the loop or the dispatcher.

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "client/Ending.h"
#include "client/FrameStream.h"
#include "loop/EventLoop.h"
#include "net/CNetSocket.h"

namespace toruna::client {

class ServerLink {
 public:
  static constexpr int32_t kServerPort = 13131;

  struct Handlers {
    std::function<void()> connected;
    std::function<void(const protocol::FrameView&)> frame;
    std::function<void(const Ending&)> failed;  // once; the link is closed then
  };

  ServerLink(net::modNetSocket& dispatcher, loop::EventLoop& loop, Handlers handlers);
  ~ServerLink();
  ServerLink(const ServerLink&) = delete;
  ServerLink& operator=(const ServerLink&) = delete;

  // Starts connecting; the outcome comes through the handlers (possibly before
  // Open returns, when the platform refuses at once).
  void Open(const std::string& host, int32_t port = kServerPort,
            std::chrono::milliseconds connectTimeout = std::chrono::seconds(10));
  void Send(const std::vector<uint8_t>& frame);
  // How the connection notices a server that vanished without a word; applied
  // once connected (set it before Open).
  void SetKeepAlive(const net::KeepAlive& settings) { keepAlive_ = settings; }
  // When the bytes of the frame being handed over were read.
  std::chrono::system_clock::time_point LastRead() const { return lastRead_; }
  // Closes without reporting a failure.
  void Close();
  bool Connected() const;
  bool Failed() const { return failed_; }
  size_t Unsent() const;
  // The local machine's name through the socket layer; empty when unknown.
  std::string LocalHostName();

  // The ending for an error the socket reported while connecting (connected
  // false) or on an open connection.
  static Ending DescribeError(const std::string& host, int32_t port, int32_t number,
                              const std::string& description, bool connected);

 private:
  void OnData();
  void Fail(Ending ending);
  void CancelTimer();

  loop::EventLoop& loop_;
  Handlers handlers_;
  std::shared_ptr<net::CNetSocket> sock_;
  FrameStream stream_;
  std::string host_;
  int32_t port_ = kServerPort;
  bool connected_ = false;
  bool failed_ = false;
  loop::EventLoop::TimerId timer_ = 0;
  bool timerActive_ = false;
  net::KeepAlive keepAlive_;
  std::chrono::system_clock::time_point lastRead_;
};

}  // namespace toruna::client
