#pragma once
// The bridge program: one ServerBridge per server (the one named, the first
// that answers a discovery, or every one that answers, also later), run on
// the loop until SIGTERM or SIGINT, which stop every bridge cleanly.
// This class owns the bridges; it does not own the loop or the dispatcher.

#include <memory>
#include <optional>
#include <set>
#include <vector>
#include <ostream>
#include <string>

#include "Backoff.h"
#include "BridgeArguments.h"
#include "ServerBridge.h"
#include "client/Discovery.h"

namespace toruna::bridge {

class BridgeApp {
 public:
  BridgeApp(BridgeOptions options, std::ostream& err, net::modNetSocket& dispatcher,
            loop::EventLoop& loop);
  ~BridgeApp();
  BridgeApp(const BridgeApp&) = delete;
  BridgeApp& operator=(const BridgeApp&) = delete;

  // Runs until a signal has stopped every bridge; the exit status.
  int Run();

  // The password for --password-file: the file's first line. Throws
  // UsageError when the file cannot be read.
  static std::string ReadPassword(const std::string& path);

 private:
  void Say(const std::string& line);
  void Discover();
  void DiscoveryOver();
  void Add(const std::string& host, bool rediscover);
  void Stop(int signo);

  BridgeOptions options_;
  std::ostream& err_;
  net::modNetSocket& dispatcher_;
  loop::EventLoop& loop_;
  std::string localHost_;
  std::vector<std::unique_ptr<ServerBridge>> bridges_;
  std::vector<client::FoundServer> found_;  // answers to the current discovery, one per name
  std::set<std::string> bridged_;           // names of the servers found and bridged
  std::unique_ptr<client::Discovery> discovery_;
  std::optional<loop::EventLoop::TimerId> timer_;
  Backoff backoff_;
  bool stopping_ = false;
  size_t stopped_ = 0;
};

}  // namespace toruna::bridge
