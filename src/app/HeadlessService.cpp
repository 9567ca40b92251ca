#include "app/HeadlessService.h"

#include <chrono>

#include "app/HeadlessFrontEnd.h"
#include "app/LogOutput.h"
#include "app/ServiceNotifier.h"
#include "app/ServiceReport.h"
#include "base/AlertService.h"
#include "loop/EventLoop.h"
#include "loop/SignalWatch.h"

namespace toruna::app {

server::ServerConfig HeadlessService::ServiceConfig(const std::string& hostName) {
  server::ServerConfig config;
  config.defaultName = hostName;
  config.defaultAllowFrom = "local";
  return config;
}

int HeadlessService::Run(net::modNetSocket& dispatcher, loop::EventLoop& loop,
                         const server::ServerConfig& config, int logFd, std::ostream& err,
                         bool service) {
  // Only a build with a spin limit spins (see EventLoop.cpp); by default the loop
  // sleeps as soon as it has nothing to do.
  loop.SpinBeforeSleep(true);
  LogOutput out(loop, logFd);
  HeadlessFrontEnd frontEnd(out, err);
  base::AlertService::Install(&frontEnd);
  ServiceNotifier notifier;
  int status = 0;
  {
    server::frmMain form(dispatcher, &loop, &frontEnd, config);
    loop::SignalWatch signals(true);
    loop.Watch(signals.Fd(), loop::EventLoop::kReadable, [&](uint32_t) {
      bool end = false;
      while (const int signo = signals.TakeOne()) {
        if (loop::SignalWatch::IsNotice(signo)) {
          form.AddLog(ServiceReport::SignalIgnored(signo));
        } else {
          end = true;
        }
      }
      if (end) {
        notifier.Stopping();
        form.mnuExit_Click();
        loop.Stop();
      }
    });
    // Often enough that systemd hears of a port taken on the server's one-second
    // retry well within a second after.
    const loop::EventLoop::TimerId watch =
        loop.AddTimer(std::chrono::milliseconds(250), [&] { notifier.Update(form); });
    try {
      form.Form_Load();
      for (const std::string& problem : ServiceReport::StartupProblems(form)) {
        err << "toruna-server: " << problem << std::endl;
      }
      notifier.Update(form);
      // One line so that whoever started it knows it is up and how to stop it.
      err << "toruna-server: running headless as \"" << form.ServerName() << "\"; "
          << (service ? "systemctl stop toruna stops it" : "SIGTERM or Ctrl+C stops it")
          << std::endl;
      loop.Run();
    } catch (const std::exception& e) {
      err << "toruna-server: " << ServiceReport::FatalText(e) << std::endl;
      status = 1;
    }
    loop.CancelTimer(watch);
    loop.Unwatch(signals.Fd());
  }
  base::AlertService::Install(nullptr);
  return status;
}

}  // namespace toruna::app
