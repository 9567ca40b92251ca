#pragma once
// watch: registers, prints the roster the server sends, then every change, and
// subscribes to the events whose "client/event" name matches a pattern,
// printing their values. The protocol side (OnConnected, OnFrame) does no I/O:
// it sends through the given function, so tests drive it with frames.

#include <cstdint>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "ArgumentParser.h"
#include "client/NamePatterns.h"
#include "Output.h"
#include "client/Roster.h"

namespace toruna::net {
class modNetSocket;
class EventLoop;
}  // namespace toruna::net

namespace toruna::cli {

class WatchCommand {
 public:
  using SendFn = std::function<void(const std::vector<uint8_t>&)>;

  WatchCommand(WatchOptions options, Output& output, SendFn send);

  void OnConnected(const std::string& clientName);
  void OnFrame(const session::FrameView& frame);

  const client::Roster& State() const { return roster_; }
  const std::set<int32_t>& Subscribed() const { return subscribed_; }

  // The whole command over the network; returns the exit status.
  static int Run(const WatchOptions& options, Output& output, net::modNetSocket& dispatcher,
                 net::EventLoop& loop);

 private:
  void PrintEvent(const char* textVerb, const char* jsonType, const client::EventEntry& e,
                  const std::string& owner);
  void MaybeSubscribe(const client::EventEntry& e, const std::string& owner);

  WatchOptions options_;
  client::NamePatterns patterns_;
  Output& output_;
  SendFn send_;
  client::Roster roster_;
  std::set<int32_t> subscribed_;
};

}  // namespace toruna::cli
