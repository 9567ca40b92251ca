#pragma once
// What the service tells systemd (sd_notify): READY=1 once both server sockets
// are open, so that "active" means clients can find and reach it, and a STATUS=
// line with what it serves or waits for, sent whenever that text changes.
// Outside systemd (no NOTIFY_SOCKET) nothing is sent.

#include <functional>
#include <string>

namespace toruna::server {
class frmMain;
}

namespace toruna::app {

class ServiceNotifier {
 public:
  // send: where the notification text goes; sd_notify by default.
  explicit ServiceNotifier(std::function<void(const std::string&)> send = {});

  // Looks at the server and notifies what changed since the last call.
  void Update(const server::frmMain& form);
  // Before the server closes its sockets.
  void Stopping();

  bool Ready() const { return ready_; }
  static std::string StatusText(const server::frmMain& form);

 private:
  std::function<void(const std::string&)> send_;
  bool ready_ = false;
  std::string status_;
};

}  // namespace toruna::app
