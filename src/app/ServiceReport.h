#pragma once
// Plain-words reports for the person running the server: which fixed port could
// not be taken at start-up and why, and the error that ended the application.

#include <exception>
#include <string>
#include <vector>

namespace toruna::server {
class frmMain;
}

namespace toruna::app {

class ServiceReport {
 public:
  // One line per server socket that start-up left without its service, and one
  // per setting that could not be taken.
  static std::vector<std::string> StartupProblems(const server::frmMain& form);

  // Why a port of the given kind (true: UDP, false: TCP) cannot be bound on
  // every local address just now, e.g. "port 13131 is in use".
  static std::string PortReason(bool udp, int port);

  // The number and text of an error that no handler trapped.
  static std::string FatalText(const std::exception& error);

  // The log line for a signal that the server takes but does not end on, e.g.
  // "SIGHUP received and ignored (SIGTERM stops the server)".
  static std::string SignalIgnored(int signo);
};

}  // namespace toruna::app
