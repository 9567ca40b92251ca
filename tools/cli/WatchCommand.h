#pragma once
// watch: prints the roster the server sends, then every change, and the values
// of the events whose "client/event" name matches a pattern, which the client
// library subscribes to. It only prints: tests drive it through a
// ClientProtocol fed with frames.

#include <string>

#include "ArgumentParser.h"
#include "Output.h"
#include "client/ClientProtocol.h"

namespace toruna::loop {
class EventLoop;
}  // namespace toruna::loop
namespace toruna::net {
class modNetSocket;
}  // namespace toruna::net

namespace toruna::cli {

class WatchCommand {
 public:
  // Sets the protocol's callbacks and subscribes it to the patterns.
  WatchCommand(const WatchOptions& options, Output& output, client::ClientProtocol& protocol);

  // The whole command over the network; returns the exit status.
  static int Run(const WatchOptions& options, Output& output, net::modNetSocket& dispatcher,
                 loop::EventLoop& loop);

 private:
  std::string Path(int32_t owner, const std::string& event) const;
  void PrintEvent(const char* textVerb, const char* jsonType, const client::EventEntry& e);
  void PrintValue(const client::Value& v);

  Output& output_;
  client::ClientProtocol& protocol_;
};

}  // namespace toruna::cli
