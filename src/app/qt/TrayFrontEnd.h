#pragma once
// The desktop face of the server: the "Form1" window, the notification-area icon
// with its menu "Show" / "Exit", modal message boxes, and the bridge that lets
// Qt's loop drive the socket layer's loop on the same thread. Exceptions never
// cross into Qt: each entry from Qt is guarded, and an error that no handler
// trapped ends the application with status 1.
// Where there is no notification area the window stays reachable: closing it
// minimises it instead of hiding it.

#include <QMenu>
#include <QObject>
#include <QSystemTrayIcon>
#include <exception>
#include <functional>
#include <memory>
#include <optional>

#include "app/qt/TrayWindow.h"
#include "base/AlertService.h"
#include "server/FrontEnd.h"

class QSocketNotifier;

namespace toruna::loop {
class EventLoop;
}  // namespace toruna::loop
namespace toruna::server {
class frmMain;
}

namespace toruna::app {

class TrayFrontEnd : public QObject, public server::FrontEnd, public base::AlertService {
  Q_OBJECT

 public:
  // trayAvailable: whether to use the notification area; unset asks Qt.
  explicit TrayFrontEnd(std::optional<bool> trayAvailable = std::nullopt);
  ~TrayFrontEnd() override;

  // The server whose handlers the window, icon and menu call (nullptr: none).
  void Attach(server::frmMain* form) { form_ = form; }
  // Runs loop's ready work whenever its descriptor becomes readable.
  void DriveLoop(loop::EventLoop& loop);
  // Treats a readable fd as a request to end, as "Exit" does; take drains it.
  void WatchTermination(int fd, std::function<int()> take);
  // Whether a fatal error also shows a modal box (tests turn it off).
  void SetFatalBox(bool show) { fatalBox_ = show; }

  // FrontEnd.
  void LogLineAdded(const std::string& line) override;
  void ShowWindow() override;
  void HideWindow() override;
  void AddTrayIcon() override;
  void RemoveTrayIcon() override;
  void PopupMenu() override;

  // AlertService: a real modal dialog.
  void Alert(const std::string& text, const std::string& caption) override;

  // What the user can do, as the widgets call it.
  void IconActivated(QSystemTrayIcon::ActivationReason reason);
  void ShowClicked();
  void ExitClicked();
  // The user's desktop session is ending: the server closes with reason 2.
  void SessionEnding();

  // Runs f; an exception ends the application (see the class comment). True when f returned.
  bool Guard(const std::function<void()>& f);

  // Takes the application's Quit event, the end of the session.
  bool eventFilter(QObject* watched, QEvent* event) override;

  TrayWindow& Window() { return *window_; }
  QMenu& Menu() { return *menu_; }
  QSystemTrayIcon& Icon() { return *icon_; }
  bool TrayAvailable() const { return trayAvailable_; }
  // 1 once an untrapped error ended the application, else 0.
  int ExitStatus() const { return exitStatus_; }

 private:
  void Fatal(const std::exception& error);

  server::frmMain* form_ = nullptr;
  bool trayAvailable_;
  bool fatalBox_ = true;
  int exitStatus_ = 0;
  std::unique_ptr<TrayWindow> window_;
  std::unique_ptr<QMenu> menu_;
  std::unique_ptr<QSystemTrayIcon> icon_;
  std::unique_ptr<QSocketNotifier> loopNotifier_;
  loop::EventLoop* loop_ = nullptr;  // the loop DriveLoop drives
  std::unique_ptr<QSocketNotifier> signalNotifier_;
};

}  // namespace toruna::app
