// toruna-tray (built with the tray front end): the tray window on a desktop,
// headless elsewhere. toruna-server: always headless, without any GUI library.

#include <climits>
#include <csignal>
#include <cstdlib>
#include <unistd.h>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

#include "app/CommandLine.h"
#include "app/DescriptorLimit.h"
#include "app/HeadlessService.h"
#include "loop/SignalWatch.h"
#include "net/linux/SocketLayer.h"
#ifdef TORUNA_HAVE_TRAY
#include "app/qt/TrayApplication.h"
#endif

#ifndef TORUNA_VERSION
#define TORUNA_VERSION "unknown"
#endif
#ifdef TORUNA_HAVE_TRAY
constexpr const char* kProgram = "toruna-tray";
constexpr bool kTray = true;
#else
constexpr const char* kProgram = "toruna-server";
constexpr bool kTray = false;
#endif

using toruna::app::CommandLine;
using toruna::app::DescriptorLimit;

int main(int argc, char** argv) {
  // Before any thread exists, so that only the loop ever sees these signals; the
  // server decides on each of them (none may end it without a word).
  toruna::loop::SignalWatch::Block(true);
  // A log reader that went away must not end the server: the write fails instead.
  std::signal(SIGPIPE, SIG_IGN);

  const CommandLine options = CommandLine::Parse(std::vector<std::string>(argv + 1, argv + argc));
  switch (options.action()) {
    case CommandLine::Action::Help:
      std::cout << CommandLine::Usage(kTray);
      return 0;
    case CommandLine::Action::Version:
      std::cout << CommandLine::VersionText(kProgram, TORUNA_VERSION);
      return 0;
    case CommandLine::Action::Error:
      std::cerr << kProgram << ": " << options.error() << "\n"
                << "Try '" << kProgram << " --help' for more information.\n";
      return 2;
    case CommandLine::Action::Run:
      break;
  }

  // Said once, for either face: a short limit shows only as clients that cannot connect.
  const uint64_t limit = DescriptorLimit::RaiseToHard();
  if (std::optional<std::string> shortage = DescriptorLimit::Shortage(limit, DescriptorLimit::InUse(limit))) {
    std::cerr << "toruna-server: " << *shortage << std::endl;
  }

  toruna::net::SocketLayer layer;
  toruna::net::modNetSocket& dispatcher = layer.Dispatcher();
  toruna::loop::EventLoop& loop = layer.Loop();

#ifdef TORUNA_HAVE_TRAY
  if (!options.headless()) {
    if (std::optional<int> status = toruna::app::TrayApplication::Run(argc, argv, dispatcher, loop)) {
      return *status;
    }
    if (std::getenv("DISPLAY") && *std::getenv("DISPLAY")) {
      std::cerr << "toruna-server: the display cannot be opened; running without a window\n";
    }
  }
#endif
  toruna::server::ServerConfig config;
  if (options.service()) {
    char host[HOST_NAME_MAX + 1] = {};
    if (gethostname(host, sizeof host - 1) != 0) host[0] = '\0';
    config = toruna::app::HeadlessService::ServiceConfig(host);
  }
  return toruna::app::HeadlessService::Run(dispatcher, loop, config, STDOUT_FILENO, std::cerr,
                                           options.service());
}
