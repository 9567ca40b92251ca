#pragma once
// The server without a window: log lines to standard output, message boxes to
// standard error, until SIGTERM or SIGINT closes it as "Exit" does.

#include <ostream>

#include "server/frmMain.h"

namespace toruna::loop {
class EventLoop;
}  // namespace toruna::loop
namespace toruna::net {
class modNetSocket;
}  // namespace toruna::net

namespace toruna::app {

class HeadlessService {
 public:
  // Starts the server on dispatcher and runs loop until a termination signal
  // (blocked beforehand with loop::SignalWatch::Block). Returns the exit status: 0 after
  // a signal, 1 after an error that no handler trapped.
  static int Run(net::modNetSocket& dispatcher, loop::EventLoop& loop,
                 const server::ServerConfig& config, std::ostream& out, std::ostream& err);
};

}  // namespace toruna::app
