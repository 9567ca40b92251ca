#include "app/ServiceReport.h"

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>

#include "base/RaisedError.h"
#include "net/CNetSocket.h"
#include "server/frmMain.h"

namespace toruna::app {

std::vector<std::string> ServiceReport::StartupProblems(const server::frmMain& form) {
  std::vector<std::string> problems;
  const int udpPort = form.Config().discoveryPort;
  const int tcpPort = form.Config().listenPort;
  if (!form.SearchSock || form.SearchSock->State() != net::StateOpen) {
    problems.push_back("discovery is off: UDP port " + std::to_string(udpPort) +
                       " could not be opened (" + PortReason(true, udpPort) +
                       "); trying again every second");
  }
  if (!form.Listen || form.Listen->State() != net::StateListening) {
    problems.push_back("no client can connect: TCP port " + std::to_string(tcpPort) +
                       " could not be opened (" + PortReason(false, tcpPort) +
                       "); trying again every second");
  }
  const std::vector<std::string>& settings = form.SettingsProblems();
  problems.insert(problems.end(), settings.begin(), settings.end());
  return problems;
}

std::string ServiceReport::PortReason(bool udp, int port) {
  // The socket layer does not keep the refusal's cause, so ask the system again.
  const int fd = socket(AF_INET, (udp ? SOCK_DGRAM : SOCK_STREAM) | SOCK_CLOEXEC, 0);
  if (fd < 0) return std::string("no socket can be created: ") + std::strerror(errno);
  if (!udp) {
    const int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  }
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_ANY);
  const int rc = bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address);
  const int error = errno;
  close(fd);
  const std::string name = "port " + std::to_string(port);
  if (rc == 0) return name + " was refused; it is free now";
  if (error == EADDRINUSE) return name + " is in use";
  if (error == EACCES) return "no permission to use " + name;
  return name + ": " + std::strerror(error);
}

std::string ServiceReport::FatalText(const std::exception& error) {
  if (const auto* raised = dynamic_cast<const base::RaisedError*>(&error)) {
    std::string text = "run-time error " + std::to_string(raised->Number()) + ": " +
                       raised->Description();
    if (!raised->Source().empty()) text += " (" + raised->Source() + ")";
    return text;
  }
  return std::string("internal error: ") + error.what();
}

std::string ServiceReport::SignalIgnored(int signo) {
  const char* name = sigabbrev_np(signo);
  return std::string("SIG") + (name != nullptr ? name : std::to_string(signo).c_str()) +
         " received and ignored (SIGTERM stops the server)";
}

}  // namespace toruna::app
