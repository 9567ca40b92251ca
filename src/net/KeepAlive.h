#pragma once
// Part of the client library's public API, so kept free of the socket layer.

#include <cstdint>

namespace toruna::net {

// How a TCP connection notices a peer that has gone without a word (power lost,
// cable pulled): keepalive probes after `idleSeconds` without traffic, every
// `intervalSeconds`, `probes` of them unanswered; and data unacknowledged for
// `userTimeoutSeconds`, which on Linux also ends the probing once that much
// time has passed since the peer was last heard. idleSeconds 0: no keepalive;
// any other 0: the system's own value. The defaults notice a silent peer after
// about a minute, or a minute after the first data sent to it.
struct KeepAlive {
  int32_t idleSeconds = 30;
  int32_t intervalSeconds = 10;
  int32_t probes = 3;
  int32_t userTimeoutSeconds = 60;

  bool operator==(const KeepAlive&) const = default;
};

}  // namespace toruna::net
