#pragma once
// toruna-web's command line. Parsing does no I/O: a bad command line throws
// UsageError, whose text main prints before it exits with status 2.

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

namespace toruna::web {

class UsageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Where the web page is served: an IPv4 or IPv6 address and a TCP port.
struct ListenAddress {
  std::string address = "127.0.0.1";
  uint16_t port = 8080;
  bool v6 = false;
  // "127.0.0.1:8080", "[::1]:8080".
  std::string Str() const;
  // Loopback addresses only reach this machine; the program then also refuses
  // requests that name another host (a page of another site that rebinds a
  // name of its own to 127.0.0.1).
  bool Loopback() const;
};

struct WebOptions {
  std::vector<std::string> servers;  // hosts or addresses; empty when discovering
  bool discover = false;
  ListenAddress listen;
  std::vector<std::string> exports;  // "client/event" patterns kept subscribed for /metrics
  bool allowPublish = false;
  std::string name = "web";  // the program's client name on each server
};

struct CommandLine {
  bool help = false;
  bool version = false;
  WebOptions options;
};

class WebArguments {
 public:
  // args excludes the program name.
  static CommandLine Parse(const std::vector<std::string>& args);
  static std::string HelpText();
  // "ADDR:PORT", "[V6]:PORT", "localhost:PORT" or ":PORT" (every IPv4 address).
  static ListenAddress ParseListen(const std::string& text);
};

}  // namespace toruna::web
