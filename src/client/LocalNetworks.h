#pragma once
// The IPv4 networks this machine is on, as the system lists them: for each
// interface that is up, its address and, where it has one, its broadcast
// address. Discovery asks through each network's broadcast (a LAN without a
// default route cannot carry the limited broadcast 255.255.255.255) and knows
// the answers of this machine's own server by these addresses.

#include <functional>
#include <string>
#include <vector>

namespace toruna::client {

struct LocalNetwork {
  std::string interface;  // "eth0"
  std::string address;    // dotted, "10.0.0.5"
  std::string broadcast;  // dotted, "10.0.0.255"; empty without one (loopback, point-to-point)
};

class LocalNetworks {
 public:
  // Where the list comes from; tests give one of their own.
  using Source = std::function<std::vector<LocalNetwork>()>;

  // The machine's own (getifaddrs); empty when the system cannot say.
  static std::vector<LocalNetwork> List();
  // Whether a dotted address is this machine's: loopback, or an address of one
  // of the networks.
  static bool IsOwnAddress(const std::string& address, const std::vector<LocalNetwork>& networks);
};

}  // namespace toruna::client
