#include "app/HeadlessService.h"

#include "app/HeadlessFrontEnd.h"
#include "app/LogOutput.h"
#include "app/ServiceReport.h"
#include "base/AlertService.h"
#include "loop/EventLoop.h"
#include "loop/SignalWatch.h"

namespace toruna::app {

int HeadlessService::Run(net::modNetSocket& dispatcher, loop::EventLoop& loop,
                         const server::ServerConfig& config, int logFd, std::ostream& err) {
  // Only a build with a spin limit spins (see EventLoop.cpp); by default the loop
  // sleeps as soon as it has nothing to do.
  loop.SpinBeforeSleep(true);
  LogOutput out(loop, logFd);
  HeadlessFrontEnd frontEnd(out, err);
  base::AlertService::Install(&frontEnd);
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
        form.mnuExit_Click();
        loop.Stop();
      }
    });
    try {
      form.Form_Load();
      for (const std::string& problem : ServiceReport::StartupProblems(form)) {
        err << "toruna-server: " << problem << std::endl;
      }
      // One line so that a user who started it by hand knows it is up and how to stop it.
      err << "toruna-server: running headless as \"" << form.ServerName()
          << "\"; SIGTERM or Ctrl+C stops it" << std::endl;
      loop.Run();
    } catch (const std::exception& e) {
      err << "toruna-server: " << ServiceReport::FatalText(e) << std::endl;
      status = 1;
    }
    loop.Unwatch(signals.Fd());
  }
  base::AlertService::Install(nullptr);
  return status;
}

}  // namespace toruna::app
