#pragma once
// Why a connection to a server ended, in a reason and a sentence.

#include <string>

namespace toruna::client {

enum class EndReason {
  Refused,         // nobody listens at the port
  HostNotFound,    // the name does not resolve
  Unreachable,     // no route, or no answer in time
  ClosedByServer,  // the server closed or reset an open connection
  LostSync,        // the server's bytes stopped making frames
  Failed,          // any other failure the socket reported
};

struct Ending {
  EndReason reason = EndReason::Failed;
  std::string message;  // e.g. "connection refused by 10.0.0.5 (no server listening on port 13131?)"
};

}  // namespace toruna::client
