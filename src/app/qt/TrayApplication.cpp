#include "app/qt/TrayApplication.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <QApplication>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>

#include "app/ServiceReport.h"
#include "app/qt/TrayFrontEnd.h"
#include "base/AlertService.h"
#include "loop/SignalWatch.h"
#include "server/frmMain.h"

namespace toruna::app {

namespace {

bool ConnectsTo(const std::string& path, bool abstract) {
  const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  const size_t offset = abstract ? 1 : 0;
  if (path.size() + offset >= sizeof address.sun_path) {
    close(fd);
    return false;
  }
  std::memcpy(address.sun_path + offset, path.data(), path.size());
  const socklen_t length =
      static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + offset + path.size());
  const bool ok = connect(fd, reinterpret_cast<const sockaddr*>(&address), length) == 0;
  close(fd);
  return ok;
}

bool Set(const char* name) {
  const char* value = std::getenv(name);
  return value && *value;
}

}  // namespace

bool TrayApplication::CanOpenDisplay() {
  if (Set("QT_QPA_PLATFORM") || Set("WAYLAND_DISPLAY")) return true;
  if (!Set("DISPLAY")) return false;
  // Qt aborts the process when it cannot reach the X server, so look first.
  const std::string display = std::getenv("DISPLAY");
  const size_t colon = display.rfind(':');
  if (colon == std::string::npos) return true;
  const std::string host = display.substr(0, colon);
  if (!host.empty() && host != "unix") return true;
  const std::string number = display.substr(colon + 1, display.find('.', colon) - colon - 1);
  const std::string path = "/tmp/.X11-unix/X" + number;
  return ConnectsTo(path, true) || ConnectsTo(path, false);
}

std::optional<int> TrayApplication::Run(int& argc, char** argv, net::modNetSocket& dispatcher,
                                        loop::EventLoop& loop) {
  if (!CanOpenDisplay()) return std::nullopt;
  QApplication app(argc, argv);
  QApplication::setQuitOnLastWindowClosed(false);

  TrayFrontEnd frontEnd;
  base::AlertService::Install(&frontEnd);
  int status = 1;
  {
    server::frmMain form(dispatcher, &loop, &frontEnd);
    loop::SignalWatch termination(true);
    frontEnd.Attach(&form);
    frontEnd.DriveLoop(loop);
    frontEnd.WatchTermination(termination.Fd(), [&termination, &form] {
      int last = 0;
      while (const int signo = termination.TakeOne()) {
        if (loop::SignalWatch::IsNotice(signo)) {
          form.AddLog(ServiceReport::SignalIgnored(signo));
        } else {
          last = signo;
        }
      }
      return last;
    });
    if (frontEnd.Guard([&] { form.Form_Load(); })) {
      for (const std::string& problem : ServiceReport::StartupProblems(form)) {
        std::cerr << "toruna-server: " << problem << std::endl;
      }
      frontEnd.ShowWindow();
      status = QApplication::exec();
      if (frontEnd.ExitStatus() != 0) status = frontEnd.ExitStatus();
    }
    frontEnd.Attach(nullptr);
  }
  base::AlertService::Install(nullptr);
  return status;
}

}  // namespace toruna::app
