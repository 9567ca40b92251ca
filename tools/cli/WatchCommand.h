#pragma once
// watch: prints the roster the server sends, then every change, and the values
// of the events whose "client/event" name matches a pattern, which the client
// library subscribes to. It only prints: tests drive it through a
// ClientProtocol fed with frames.

#include <cstdint>
#include <functional>
#include <optional>
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

  // Values printed so far; onEnough runs once when --count of them have been.
  uint32_t Values() const { return values_; }
  void SetOnEnough(std::function<void()> f) { onEnough_ = std::move(f); }

  // The whole command over the network; returns the exit status.
  static int Run(const WatchOptions& options, Output& output, net::modNetSocket& dispatcher,
                 loop::EventLoop& loop);

 private:
  std::string Path(int32_t owner, const std::string& event) const;
  void PrintEvent(const char* textVerb, const char* jsonType, const client::EventEntry& e);
  void PrintValue(const client::Value& v);

  Output& output_;
  client::ClientProtocol& protocol_;
  std::optional<uint32_t> count_;
  uint32_t values_ = 0;
  std::function<void()> onEnough_;
};

}  // namespace toruna::cli
