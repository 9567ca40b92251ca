#pragma once
// discover: asks for servers through the client library (the broadcast and
// each --to address) and prints each answer once per address. Printing does no
// I/O of its own; Run does the asking.

#include <string>

#include "ArgumentParser.h"
#include "Output.h"
#include "client/Discovery.h"

namespace toruna::loop {
class EventLoop;
}  // namespace toruna::loop
namespace toruna::net {
class modNetSocket;
}  // namespace toruna::net

namespace toruna::cli {

class DiscoverCommand {
 public:
  explicit DiscoverCommand(Output& output) : output_(output) {}
  void Print(const client::FoundServer& server);

  // The whole command over the network; returns the exit status.
  static int Run(const DiscoverOptions& options, Output& output, net::modNetSocket& dispatcher,
                 loop::EventLoop& loop);

 private:
  Output& output_;
};

}  // namespace toruna::cli
