#pragma once
// What the soak watches of the server from outside: its open descriptors and
// resident memory (from /proc), and its registered-client count, asked the way
// every client asks it, by a discovery request to 127.0.0.1:9666.

#include <sys/types.h>

#include <cstdint>
#include <optional>

namespace soak {

class ServerProbe {
 public:
  explicit ServerProbe(pid_t pid) : pid_(pid) {}
  // -1 when the process cannot be read (it has gone).
  long Descriptors() const;
  long RssKb() const;
  // The count the server reports; nullopt when no answer came within timeoutMs.
  static std::optional<long> RegisteredCount(int timeoutMs = 1000);

 private:
  pid_t pid_;
};

}  // namespace soak
