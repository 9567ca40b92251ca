#pragma once
// Turns the command line into the options of one command. Parsing does no I/O:
// a bad command line throws UsageError, whose text main prints before it exits
// with status 2.

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace toruna::cli {

class UsageError : public std::runtime_error {
 public:
  UsageError(const std::string& message, std::string command)
      : std::runtime_error(message), command_(std::move(command)) {}
  // The command whose help the user should read; empty for the general help.
  const std::string& Command() const { return command_; }

 private:
  std::string command_;
};

enum class Command { Help, Version, Discover, Watch, Publish };

struct DiscoverOptions {
  double timeoutSeconds = 2.0;
  std::vector<std::string> to;  // addresses asked directly, besides the broadcast
};

struct WatchOptions {
  std::string host;
  std::optional<std::string> name;  // default: "toruna-cli@" and the host's name
  std::vector<std::string> patterns;
  std::optional<uint32_t> count;        // end after this many values
  std::optional<double> timeoutSeconds;  // end after this long
};

struct PublishOptions {
  std::string host;
  std::string event;
  std::string unit;
  int16_t interval = 0;
  int16_t max = 255;
  std::optional<std::string> name;
  bool always = false;
  std::vector<uint8_t> values;  // empty: read them from standard input
  std::optional<double> timeoutSeconds;  // give up on values still unpublished then
};

// The exit status of a command that ran out of its --timeout.
constexpr int kExitTimedOut = 3;

struct CommandLine {
  Command command = Command::Help;
  std::string helpTopic;  // Help: the command asked about, or empty
  bool json = false;
  DiscoverOptions discover;
  WatchOptions watch;
  PublishOptions publish;
};

class ArgumentParser {
 public:
  // args excludes the program name.
  static CommandLine Parse(const std::vector<std::string>& args);
  // The help text of a command ("" for the overview).
  static std::string HelpText(const std::string& command);
  // A value 0..255 written in decimal; nullopt otherwise.
  static std::optional<uint8_t> ParseValue(const std::string& text);
};

}  // namespace toruna::cli
