#include "client/LocalNetworks.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>

namespace toruna::client {

namespace {

std::string Dotted(const sockaddr* address) {
  char text[INET_ADDRSTRLEN] = {};
  const auto* in = reinterpret_cast<const sockaddr_in*>(address);
  if (inet_ntop(AF_INET, &in->sin_addr, text, sizeof text) == nullptr) return {};
  return text;
}

}  // namespace

std::vector<LocalNetwork> LocalNetworks::List() {
  std::vector<LocalNetwork> networks;
  ifaddrs* all = nullptr;
  if (getifaddrs(&all) != 0) return networks;
  for (const ifaddrs* i = all; i != nullptr; i = i->ifa_next) {
    if (i->ifa_addr == nullptr || i->ifa_addr->sa_family != AF_INET || (i->ifa_flags & IFF_UP) == 0) {
      continue;
    }
    LocalNetwork n;
    n.interface = i->ifa_name != nullptr ? i->ifa_name : "";
    n.address = Dotted(i->ifa_addr);
    if ((i->ifa_flags & IFF_BROADCAST) != 0 && i->ifa_broadaddr != nullptr &&
        i->ifa_broadaddr->sa_family == AF_INET) {
      n.broadcast = Dotted(i->ifa_broadaddr);
    }
    networks.push_back(std::move(n));
  }
  freeifaddrs(all);
  return networks;
}

bool LocalNetworks::IsOwnAddress(const std::string& address,
                                 const std::vector<LocalNetwork>& networks) {
  in_addr a{};
  if (inet_pton(AF_INET, address.c_str(), &a) != 1) return false;
  if ((ntohl(a.s_addr) >> 24) == 127) return true;
  for (const LocalNetwork& n : networks) {
    if (n.address == address) return true;
  }
  return false;
}

}  // namespace toruna::client
