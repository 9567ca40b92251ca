// toruna-cli: find Toruna servers, watch their traffic, publish values.

#include <iostream>
#include <string>
#include <vector>

#include "ArgumentParser.h"
#include "DiscoverCommand.h"
#include "Output.h"
#include "PublishCommand.h"
#include "WatchCommand.h"
#include "base/RaisedError.h"
#include "loop/SignalWatch.h"
#include "net/linux/SocketLayer.h"

#ifndef TORUNA_VERSION
#define TORUNA_VERSION "unknown"
#endif

using namespace toruna;

int main(int argc, char** argv) {
  // Before the socket layer starts its lookup thread, which must not take Ctrl-C.
  loop::SignalWatch::Block();

  const std::vector<std::string> args(argv + 1, argv + argc);
  cli::CommandLine cl;
  try {
    cl = cli::ArgumentParser::Parse(args);
  } catch (const cli::UsageError& e) {
    std::cerr << "toruna-cli: " << e.what() << "\n"
              << "Try 'toruna-cli " << (e.Command().empty() ? "" : e.Command() + " ")
              << "--help'.\n";
    return 2;
  }
  if (cl.command == cli::Command::Help) {
    std::cout << cli::ArgumentParser::HelpText(cl.helpTopic);
    return 0;
  }
  if (cl.command == cli::Command::Version) {
    std::cout << "toruna-cli " TORUNA_VERSION "\n";
    return 0;
  }

  cli::Output output(std::cout, std::cerr, cl.json);
  try {
    net::SocketLayer layer;
    net::modNetSocket& dispatcher = layer.Dispatcher();
    loop::EventLoop& loop = layer.Loop();
    switch (cl.command) {
      case cli::Command::Discover:
        return cli::DiscoverCommand::Run(cl.discover, output, dispatcher, loop);
      case cli::Command::Watch:
        return cli::WatchCommand::Run(cl.watch, output, dispatcher, loop);
      case cli::Command::Publish:
        return cli::PublishCommand::Run(cl.publish, output, dispatcher, loop);
      case cli::Command::Help:
      case cli::Command::Version:
        break;
    }
  } catch (const base::RaisedError& e) {
    output.Note(e.Source() + ": " + e.Description() + " (" + std::to_string(e.Number()) + ")");
    return 1;
  }
  return 0;
}
