#include "app/ServiceNotifier.h"

#include <systemd/sd-daemon.h>

#include "net/CNetSocket.h"
#include "server/frmMain.h"

namespace toruna::app {

ServiceNotifier::ServiceNotifier(std::function<void(const std::string&)> send)
    : send_(std::move(send)) {
  if (!send_) send_ = [](const std::string& text) { sd_notify(0, text.c_str()); };
}

std::string ServiceNotifier::StatusText(const server::frmMain& form) {
  const bool discovery = form.SearchSock && form.SearchSock->State() == net::StateOpen;
  const bool listening = form.Listen && form.Listen->State() == net::StateListening;
  if (!listening) {
    return "Waiting for TCP port " + std::to_string(form.Config().listenPort) +
           " (in use by another program?)";
  }
  const size_t clients = form.colClients.Count();
  std::string text = "Serving " + std::to_string(clients) + (clients == 1 ? " client" : " clients") +
                     " as \"" + form.ServerName() + "\"";
  if (!discovery) {
    text += "; discovery waits for UDP port " + std::to_string(form.Config().discoveryPort);
  }
  return text;
}

void ServiceNotifier::Update(const server::frmMain& form) {
  std::string message;
  const std::string status = StatusText(form);
  if (status != status_) {
    status_ = status;
    message = "STATUS=" + status;
  }
  if (!ready_ && form.Serving()) {
    ready_ = true;
    message = "READY=1\n" + message;
  }
  if (!message.empty()) send_(message);
}

void ServiceNotifier::Stopping() { send_("STOPPING=1\nSTATUS=Stopping"); }

}  // namespace toruna::app
