#pragma once
// What the server application needs of whatever shows it to the user: the tray
// window or the headless console. The server core knows no GUI toolkit.

#include <string>

namespace toruna::server {

class FrontEnd {
 public:
  virtual ~FrontEnd() = default;
  // A line was appended to the log (which keeps the last 100 lines).
  virtual void LogLineAdded(const std::string& line) = 0;
  virtual void ShowWindow() = 0;
  virtual void HideWindow() = 0;
  virtual void AddTrayIcon() = 0;
  virtual void RemoveTrayIcon() = 0;
  // Pops up the icon's menu ("Show", "Exit") at the mouse position.
  virtual void PopupMenu() = 0;
};

}  // namespace toruna::server
