#pragma once
// The server without a window: log lines to standard output, message boxes to
// standard error, until SIGTERM or SIGINT closes it as "Exit" does.

#include <ostream>

#include "server/frmMain.h"

namespace toruna::net {
class EventLoop;
class modNetSocket;
}  // namespace toruna::net

namespace toruna::app {

class HeadlessService {
 public:
  // Starts the server on dispatcher and runs loop until a termination signal
  // (blocked beforehand with net::SignalWatch::Block). Returns the exit status: 0 after
  // a signal, 1 after an error that no handler trapped.
  static int Run(net::modNetSocket& dispatcher, net::EventLoop& loop,
                 const server::ServerConfig& config, std::ostream& out, std::ostream& err);
};

}  // namespace toruna::app
