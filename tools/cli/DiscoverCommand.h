#pragma once
// discover: asks for servers with the request "?" port "!" (broadcast and each
// --to address, UDP port 9666) and prints each answer "***" name 0 count 0 once
// per address. Parsing and printing do no I/O; Run does the sockets.

#include <cstdint>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "ArgumentParser.h"
#include "Output.h"

namespace toruna::net {
class modNetSocket;
class EventLoop;
}  // namespace toruna::net

namespace toruna::cli {

class DiscoverCommand {
 public:
  static constexpr int32_t kDiscoveryPort = 9666;
  static constexpr const char* kBroadcast = "255.255.255.255";

  struct Reply {
    std::string name;  // UTF-8
    int64_t clients = 0;
  };

  static std::vector<uint8_t> Request(int32_t ownPort);
  // nullopt for a datagram that is not an answer.
  static std::optional<Reply> ParseReply(std::span<const uint8_t> datagram);

  explicit DiscoverCommand(Output& output) : output_(output) {}
  // Prints the answer unless it was seen from that address already; false for
  // a datagram that is not an answer or a repeat.
  bool OnDatagram(const std::string& address, std::span<const uint8_t> datagram);
  size_t Answers() const { return seen_.size(); }

  // The whole command over the network; returns the exit status.
  static int Run(const DiscoverOptions& options, Output& output, net::modNetSocket& dispatcher,
                 net::EventLoop& loop);

 private:
  Output& output_;
  std::set<std::pair<std::string, std::string>> seen_;  // address, name
};

}  // namespace toruna::cli
