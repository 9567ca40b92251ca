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
  // Descriptors the server opens for itself besides its clients: the loop's three
  // (epoll, wake-up, timers), the signal watch and the two server sockets.
  static constexpr uint64_t kOwnUse = 6;
  // What a limit should leave besides the clients, advised when it is short: the
  // server's own, the standard streams and a desktop toolkit's connections.
  static constexpr uint64_t kAdvisedSpare = 32;

  // Raises the soft limit to the hard limit; returns the limit now in force
  // (the largest value when there is none).
  static uint64_t RaiseToHard();

  // Descriptors open now that take a place below limit (the limit caps the numbers
  // a process may use, so an inherited one numbered above it takes none).
  static uint64_t InUse(uint64_t limit);

  // What to say on standard error when limit leaves room for fewer than
  // kWantedClients clients, inUse descriptors being open before the server starts;
  // nothing otherwise.
  static std::optional<std::string> Shortage(uint64_t limit, uint64_t inUse);
};

}  // namespace toruna::app
