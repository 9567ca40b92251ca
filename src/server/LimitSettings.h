#pragma once
// What one participant may take of the server, so that none can lock the others
// out, stall the relay or exhaust its memory: the keys below in the [Toruna]
// section of the settings file. A missing key keeps its default; a value that
// is not a whole number in its range keeps the default too, and says so in
// Problems(). 0 turns the optional ones off. A client within the limits never
// notices them; what happens at each limit is written beside it.

#include <cstdint>
#include <string>
#include <vector>

namespace toruna::server {

class clsSettings;

struct Limits {
  // Creating one more event closes the client's connection (one log line).
  int32_t maxEventsPerClient = 10000;  // MaxEventsPerClient
  int32_t maxEvents = 100000;          // MaxEvents: of all clients together
  // A connection that has not sent its name this long after it came is closed.
  int32_t registrationTimeout = 10;    // RegistrationTimeout, seconds; 0: never
  // More connections from one address than this: the newest is closed at once.
  int32_t maxConnectionsPerAddress = 0;  // MaxConnectionsPerAddress; 0: no limit
  // One connection's unsent bytes beyond what it was sent on registration (the
  // roster): past this it is a slow reader and closed.
  int32_t maxUnsentBytes = 1048576;    // MaxUnsentBytes
  // All connections' unsent bytes together: past this the connections furthest
  // behind are closed until the rest fit.
  int32_t unsentBudget = 67108864;     // UnsentBudget; 0: no budget
  // A connection whose queue has not drained for this long is a slow reader.
  int32_t writeDeadline = 10;          // WriteDeadline, seconds; 0: none
  // Discovery replies to one address, per second; more requests go unanswered.
  int32_t discoveryRepliesPerSecond = 20;  // DiscoveryRepliesPerSecond; 0: no limit
  // Log lines caused by one address, per second; the rest are counted and the
  // count is logged.
  int32_t logLinesPerSecond = 20;      // LogLinesPerSecond; 0: no limit
};

class LimitSettings {
 public:
  static LimitSettings Read(const clsSettings& settings);

  const Limits& Values() const { return values_; }
  // One sentence per value that was not taken, as KeepAliveSettings words them.
  const std::vector<std::string>& Problems() const { return problems_; }

 private:
  Limits values_;
  std::vector<std::string> problems_;
};

}  // namespace toruna::server
