#pragma once
// Finding servers: the request "?" port "!" goes to UDP port 9666 of each
// destination (the broadcasts when none is given), and every server that
// receives it answers "***" name 0 count 0 at the port named. The broadcasts
// are the limited one (255.255.255.255) and each local network's own, since a
// LAN without a default route carries only the latter. A destination that
// cannot be reached counts as one that did not answer. Each server is reported
// once: by address and name, and this machine's own server once whichever of
// its addresses answered.
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

#include "client/LocalNetworks.h"

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

  // On the process-wide socket layer, or on the given one; networks: where the
  // local networks come from (the system's by default).
  Discovery();
  explicit Discovery(net::modNetSocket& dispatcher,
                     LocalNetworks::Source networks = LocalNetworks::List);
  ~Discovery();
  Discovery(const Discovery&) = delete;
  Discovery& operator=(const Discovery&) = delete;

  std::function<void(const FoundServer&)> OnServer;
  // A destination that could not be asked (a name that does not resolve, a
  // send the system refused); the others are asked all the same. Not called
  // for one that is unreachable (no route, network down): that one simply
  // does not answer.
  std::function<void(const std::string& destination, const std::string& reason)> OnError;

  // Asks each destination (names or addresses; kBroadcast stands for all the
  // broadcasts); answers come while the loop runs, until Stop. `port` is the
  // servers' discovery port.
  void Start(const std::vector<std::string>& destinations = {}, int32_t port = kPort);
  // Whether a destination of the last Start was one of the broadcasts.
  bool IsBroadcast(const std::string& destination) const {
    return broadcasts_.count(destination) != 0;
  }
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
  LocalNetworks::Source networksSource_;
  std::vector<LocalNetwork> networks_;
  std::set<std::string> broadcasts_;
  std::vector<std::shared_ptr<net::CNetSocket>> sockets_;
  std::vector<FoundServer> servers_;
  // Address and name of each server reported; this machine's under "".
  std::set<std::pair<std::string, std::string>> seen_;
};

// Asks for `timeout` on a loop of its own and returns the answers; empty when
// nobody answered.
std::vector<FoundServer> Discover(std::chrono::milliseconds timeout,
                                  const std::vector<std::string>& destinations = {},
                                  int32_t port = Discovery::kPort);

}  // namespace toruna::client
