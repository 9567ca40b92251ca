#pragma once
// The number of descriptors the process may open, which caps the number of
// clients: every connection holds one. Desktop sessions start programs with a
// soft limit of 1024 although the hard limit allows far more, which would stop
// the server near 1000 clients.

#include <cstdint>
#include <optional>
#include <string>

namespace toruna::app {

class DescriptorLimit {
 public:
  // The number of simultaneous clients the server should be able to take.
  static constexpr uint64_t kWantedClients = 10000;
  // Descriptors the process needs besides its clients: standard streams, the
  // loop, its timers and signals, the two server sockets, name lookups and the
  // desktop toolkit's connections.
  static constexpr uint64_t kOwnUse = 32;

  // Raises the soft limit to the hard limit; returns the limit now in force
  // (the largest value when there is none).
  static uint64_t RaiseToHard();

  // What to say on standard error when limit leaves room for fewer than
  // kWantedClients clients; nothing otherwise.
  static std::optional<std::string> Shortage(uint64_t limit);
};

}  // namespace toruna::app
