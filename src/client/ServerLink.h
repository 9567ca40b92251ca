#pragma once
// The client's TCP connection to a server, on the project's socket layer: it
// connects by name or address, hands every complete frame to its owner, and
// reports the end of the connection once, as a sentence that says why (refused,
// host not found, unreachable, closed by the server, ...).
// This class owns its socket object; it does not own the loop or the dispatcher.

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "client/FrameStream.h"
#include "net/CNetSocket.h"
#include "net/linux/EventLoop.h"

namespace toruna::client {

class ServerLink {
 public:
  static constexpr int32_t kServerPort = 13131;

  struct Handlers {
    std::function<void()> connected;
    std::function<void(const session::FrameView&)> frame;
    std::function<void(const std::string& reason)> failed;  // once; the link is closed then
  };

  ServerLink(net::modNetSocket& dispatcher, net::EventLoop& loop, Handlers handlers);
  ~ServerLink();
  ServerLink(const ServerLink&) = delete;
  ServerLink& operator=(const ServerLink&) = delete;

  // Starts connecting; the outcome comes through the handlers (possibly before
  // Open returns, when the platform refuses at once).
  void Open(const std::string& host, int32_t port = kServerPort,
            std::chrono::milliseconds connectTimeout = std::chrono::seconds(10));
  void SetOnConnected(std::function<void()> f) { handlers_.connected = std::move(f); }
  void Send(const std::vector<uint8_t>& frame);
  void Close();
  bool Connected() const;
  bool Failed() const { return failed_; }
  size_t Unsent() const;
  // The local machine's name through the socket layer; empty when unknown.
  std::string LocalHostName();
  // "toruna-cli@" and the local machine's name ("toruna-cli" when unknown).
  std::string DefaultClientName();

  // The sentence for an error the socket reported while connecting (connected
  // false) or on an open connection.
  static std::string DescribeError(const std::string& host, int32_t number,
                                   const std::string& description, bool connected);

 private:
  void OnData();
  void Fail(const std::string& reason);
  void CancelTimer();

  net::EventLoop& loop_;
  Handlers handlers_;
  std::shared_ptr<net::CNetSocket> sock_;
  FrameStream stream_;
  std::string host_;
  bool connected_ = false;
  bool failed_ = false;
  net::EventLoop::TimerId timer_ = 0;
  bool timerActive_ = false;
};

}  // namespace toruna::client
