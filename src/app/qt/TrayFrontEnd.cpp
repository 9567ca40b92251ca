#include "app/qt/TrayFrontEnd.h"

#include <QApplication>
#include <QCursor>
#include <QDirIterator>
#include <QMessageBox>
#include <QSessionManager>
#include <QSocketNotifier>
#include <iostream>

#include "app/LogLine.h"
#include "app/ServiceReport.h"
#include "loop/EventLoop.h"
#include "server/frmMain.h"

namespace toruna::app {

namespace {

// The icon of window and notification area: the theme's "toruna" (installed with
// the desktop entry), else the same pictures built into the program.
QIcon AppIcon() {
  QIcon builtIn;
  QDirIterator sizes(":/icons", {"toruna.png"}, QDir::Files, QDirIterator::Subdirectories);
  while (sizes.hasNext()) builtIn.addFile(sizes.next());
  return QIcon::fromTheme("toruna", builtIn);
}

}  // namespace

TrayFrontEnd::TrayFrontEnd(std::optional<bool> trayAvailable)
    : trayAvailable_(trayAvailable ? *trayAvailable : QSystemTrayIcon::isSystemTrayAvailable()),
      window_(std::make_unique<TrayWindow>()),
      menu_(std::make_unique<QMenu>("Blaa")),
      icon_(std::make_unique<QSystemTrayIcon>()) {
  const QIcon icon = AppIcon();
  window_->setWindowIcon(icon);
  window_->onCloseRequest = [this] {
    bool cancel = false;
    Guard([&] {
      if (form_ && !form_->Unloaded()) form_->Form_QueryUnload(cancel, 0);
    });
    return !cancel;
  };

  QAction* show = menu_->addAction("Show");
  show->setObjectName("mnuShow");
  QAction* exit = menu_->addAction("Exit");
  exit->setObjectName("mnuExit");
  connect(show, &QAction::triggered, this, [this] { ShowClicked(); });
  connect(exit, &QAction::triggered, this, [this] { ExitClicked(); });

  icon_->setIcon(icon);
  icon_->setToolTip("Form1");
  // The menu is popped up by the server on a right click (517), not by Qt.
  connect(icon_.get(), &QSystemTrayIcon::activated, this,
          [this](QSystemTrayIcon::ActivationReason reason) { IconActivated(reason); });

#ifndef QT_NO_SESSIONMANAGER
  if (auto* app = qobject_cast<QGuiApplication*>(QCoreApplication::instance())) {
    // Asked when the session is saved, and before a logout that another program can
    // still cancel: neither ends the server. It is started by its autostart entry or
    // its service, so the session manager must not start a second one next time.
    auto noRestart = [](QSessionManager& manager) {
      manager.setRestartHint(QSessionManager::RestartNever);
    };
    connect(app, &QGuiApplication::commitDataRequest, this, noRestart, Qt::DirectConnection);
    connect(app, &QGuiApplication::saveStateRequest, this, noRestart, Qt::DirectConnection);
  }
#endif
  // The session really ends: see eventFilter.
  if (QCoreApplication* app = QCoreApplication::instance()) app->installEventFilter(this);
}

TrayFrontEnd::~TrayFrontEnd() {
  window_->onCloseRequest = nullptr;
  icon_->hide();
}

void TrayFrontEnd::DriveLoop(loop::EventLoop& loop) {
  loop_ = &loop;
  loopNotifier_ = std::make_unique<QSocketNotifier>(loop.Fd(), QSocketNotifier::Read);
  connect(loopNotifier_.get(), &QSocketNotifier::activated, this,
          [this, &loop] { Guard([&] { loop.ProcessReady(0); }); });
}

void TrayFrontEnd::WatchTermination(int fd, std::function<int()> take) {
  signalNotifier_ = std::make_unique<QSocketNotifier>(fd, QSocketNotifier::Read);
  connect(signalNotifier_.get(), &QSocketNotifier::activated, this, [this, take] {
    if (take() != 0) ExitClicked();
  });
}

void TrayFrontEnd::LogLineAdded(const std::string& line) {
  window_->AddLine(QString::fromStdString(LogLine::Printable(line)));
}

void TrayFrontEnd::ShowWindow() { window_->show(); }

void TrayFrontEnd::HideWindow() {
  if (trayAvailable_) {
    window_->hide();
  } else {
    window_->showMinimized();
  }
}

void TrayFrontEnd::AddTrayIcon() {
  if (trayAvailable_) icon_->show();
}

void TrayFrontEnd::RemoveTrayIcon() { icon_->hide(); }

void TrayFrontEnd::PopupMenu() { menu_->popup(QCursor::pos()); }

void TrayFrontEnd::Alert(const std::string& text, const std::string& caption) {
  QMessageBox box(QMessageBox::NoIcon, QString::fromStdString(caption),
                  QString::fromStdString(text), QMessageBox::Ok,
                  window_->isVisible() ? window_.get() : nullptr);
  // The box's own loop must see the work the caller has deferred so far (the
  // notifications still to be delivered).
  if (loop_ != nullptr) loop_->BeforeNestedLoop();
  box.exec();
}

void TrayFrontEnd::IconActivated(QSystemTrayIcon::ActivationReason reason) {
  // The server expects the icon's mouse event code: 514 left up, 517 right up.
  float code = 0;
  if (reason == QSystemTrayIcon::Trigger) code = 514;
  if (reason == QSystemTrayIcon::Context) code = 517;
  if (code == 0) return;
  Guard([&] {
    if (form_ && !form_->Unloaded()) form_->Form_MouseMove(0, 0, code, 0);
  });
}

void TrayFrontEnd::ShowClicked() {
  Guard([&] {
    if (form_ && !form_->Unloaded()) form_->mnuShow_Click();
  });
}

void TrayFrontEnd::ExitClicked() {
  Guard([&] {
    if (form_) form_->mnuExit_Click();
  });
  window_->hide();
  QCoreApplication::exit(exitStatus_);
}

bool TrayFrontEnd::eventFilter(QObject* watched, QEvent* event) {
  // The session manager's "die" (after a logout nobody cancelled) reaches the
  // application as a Quit event. Qt would first ask the window to close, which
  // only hides it, and then give up quitting: take it here instead.
  if (event->type() == QEvent::Quit && watched == QCoreApplication::instance()) {
    SessionEnding();
    return true;
  }
  return QObject::eventFilter(watched, event);
}

void TrayFrontEnd::SessionEnding() {
  Guard([&] {
    if (form_ && !form_->Unloaded()) form_->Unload(2);
  });
  if (QCoreApplication::instance()) QCoreApplication::exit(exitStatus_);
}

bool TrayFrontEnd::Guard(const std::function<void()>& f) {
  try {
    f();
    return true;
  } catch (const std::exception& e) {
    Fatal(e);
  }
  return false;
}

void TrayFrontEnd::Fatal(const std::exception& error) {
  const std::string text = ServiceReport::FatalText(error);
  std::cerr << "toruna-server: " << text << std::endl;
  exitStatus_ = 1;
  // Nothing more of the server may run: its state is not known to be sound.
  form_ = nullptr;
  if (loopNotifier_) loopNotifier_->setEnabled(false);
  if (fatalBox_) {
    QMessageBox::critical(nullptr, "Toruna", QString::fromStdString(text));
  }
  QCoreApplication::exit(1);
}

}  // namespace toruna::app
