#pragma once
// The server without a window: log lines to a descriptor (standard output),
// never waiting for its reader, message boxes to standard error, until SIGTERM or
// SIGINT closes it as "Exit" does. SIGHUP, SIGQUIT, SIGUSR1, SIGUSR2 and SIGALRM
// are logged and otherwise ignored.

#include <ostream>
#include <string>

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
  // (blocked beforehand with loop::SignalWatch::Block(true)). Returns the exit
  // status: 0 after a signal, 1 after an error that no handler trapped. service:
  // run by systemd, which is told when the server is ready and is named in the
  // line saying how to stop it.
  static int Run(net::modNetSocket& dispatcher, loop::EventLoop& loop,
                 const server::ServerConfig& config, int logFd, std::ostream& err,
                 bool service = false);

  // The defaults of the system service: named after the host, serving local
  // and private addresses unless the settings file says otherwise.
  static server::ServerConfig ServiceConfig(const std::string& hostName);
};

}  // namespace toruna::app
