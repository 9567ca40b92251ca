#pragma once
// The server with its tray window, on Qt's loop.

#include <optional>

namespace toruna::loop {
class EventLoop;
}  // namespace toruna::loop
namespace toruna::net {
class modNetSocket;
}  // namespace toruna::net

namespace toruna::app {

class TrayApplication {
 public:
  // Whether a display can be opened: Wayland, or an X server whose local socket
  // answers (a remote or forced platform is left to Qt to judge).
  static bool CanOpenDisplay();

  // Runs the server with its window until "Exit", the end of the session or a
  // termination signal (blocked beforehand with loop::SignalWatch::Block). The exit
  // status, or nothing when no display could be opened.
  static std::optional<int> Run(int& argc, char** argv, net::modNetSocket& dispatcher,
                                loop::EventLoop& loop);
};

}  // namespace toruna::app
