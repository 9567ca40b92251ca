#pragma once
// Finding servers: the request "?" port "!" goes to UDP port 9666 of each
// destination (the limited broadcast when none is given), and every server
// that receives it answers "***" name 0 count 0 at the port named. Each answer
// is reported once per address and name.
//
// Discovery runs on a loop for as long as the caller wants; Discover is the
// blocking call that collects the answers for a while on a loop of its own.
// This class owns its sockets; it does not own the dispatcher.

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <utility>
#include <vector>

namespace toruna::net {
class CNetSocket;
class modNetSocket;
}  // namespace toruna::net

namespace toruna::client {

struct FoundServer {
  std::string address;  // dotted IPv4 address the answer came from
  std::string name;     // UTF-8
  int64_t clients = 0;  // registered clients
};

class Discovery {
 public:
  static constexpr int32_t kPort = 9666;
  static constexpr const char* kBroadcast = "255.255.255.255";

  // On the process-wide socket layer, or on the given one.
  Discovery();
  explicit Discovery(net::modNetSocket& dispatcher);
  ~Discovery();
  Discovery(const Discovery&) = delete;
  Discovery& operator=(const Discovery&) = delete;

  std::function<void(const FoundServer&)> OnServer;
  // A destination that could not be asked (no route for the broadcast, a name
  // that does not resolve, ...); the others are asked all the same.
  std::function<void(const std::string& destination, const std::string& reason)> OnError;

  // Asks each destination (names or addresses); answers come while the loop
  // runs, until Stop. `port` is the servers' discovery port.
  void Start(const std::vector<std::string>& destinations = {}, int32_t port = kPort);
  void Stop();
  // Every answer so far, in order of arrival.
  const std::vector<FoundServer>& Servers() const { return servers_; }

  static std::vector<uint8_t> Request(int32_t ownPort);
  // The name and count of an answer (address empty); nullopt for a datagram
  // that is not one.
  static std::optional<FoundServer> ParseReply(std::span<const uint8_t> datagram);
  // Takes a datagram from address; true when it is an answer not seen before.
  bool OnDatagram(const std::string& address, std::span<const uint8_t> datagram);

 private:
  void Ask(const std::string& destination, int32_t port);

  net::modNetSocket& dispatcher_;
  std::vector<std::shared_ptr<net::CNetSocket>> sockets_;
  std::vector<FoundServer> servers_;
  std::set<std::pair<std::string, std::string>> seen_;  // address, name
};

// Asks for `timeout` on a loop of its own and returns the answers.
std::vector<FoundServer> Discover(std::chrono::milliseconds timeout,
                                  const std::vector<std::string>& destinations = {},
                                  int32_t port = Discovery::kPort);

}  // namespace toruna::client
