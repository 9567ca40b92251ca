#include "ArgumentParser.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>

#include "OptionScanner.h"
#include "ValueText.h"
#include "client/WireText.h"

namespace toruna::cli {

namespace {

const char* const kOverview =
    "Usage: toruna-cli COMMAND [OPTIONS]\n"
    "\n"
    "Commands:\n"
    "  discover   find Toruna servers on the local network\n"
    "  watch      show a server's clients and events, and the values of chosen events\n"
    "  publish    create an event on a server and publish values on it\n"
    "\n"
    "Every command takes --json (one JSON object per line) and --help.\n"
    "toruna-cli --version prints the version.\n"
    "Exit status: 0 success, 1 no server / connection failed or closed, 2 bad arguments,\n"
    "3 --timeout ran out first.\n";

const char* const kDiscoverHelp =
    "Usage: toruna-cli discover [--timeout SECONDS] [--to ADDRESS]... [--json]\n"
    "\n"
    "Asks every server on the local networks (UDP broadcast to port 9666 on each\n"
    "network, and each --to ADDRESS directly) for its name and its number of\n"
    "registered clients, and prints one line per server: address, name, clients.\n"
    "A server is listed once, however many of the requests reached it.\n"
    "\n"
    "  --timeout SECONDS  how long to collect answers (default 2)\n"
    "  --to ADDRESS       also ask this address (repeatable)\n"
    "  --json             one JSON object per server\n"
    "\n"
    "Exit status 0 when at least one server answered, 1 when none did.\n";

const char* const kWatchHelp =
    "Usage: toruna-cli watch HOST [--name NAME] [--subscribe PATTERN]... [--count N]\n"
    "                        [--timeout SECONDS] [--json]\n"
    "\n"
    "Registers with the server on HOST (TCP port 13131), prints its clients and\n"
    "their events, then every change, and the values of the events whose\n"
    "\"client/event\" name matches a PATTERN (shell wildcards: * ? [...]).\n"
    "Ctrl-C leaves.\n"
    "\n"
    "  --name NAME          the name to register under (default toruna-cli@HOSTNAME)\n"
    "  --subscribe PATTERN  subscribe to matching events (repeatable)\n"
    "  --count N            leave after N values (exit status 0)\n"
    "  --timeout SECONDS    leave after SECONDS: status 0, or 3 when --count\n"
    "                       values had not all come\n"
    "  --json               one JSON object per line\n";

const char* const kPublishHelp =
    "Usage: toruna-cli publish HOST --event NAME [--unit U] [--interval N] [--max N]\n"
    "                          [--name NAME] [--always] [--timeout SECONDS] [--json]\n"
    "                          [VALUE...]\n"
    "\n"
    "Registers with the server on HOST, creates the event NAME and publishes the\n"
    "VALUEs (0-255), or, without VALUEs, one value per line of standard input.\n"
    "Values go out only while the event has a subscriber; the wait is reported on\n"
    "standard error.\n"
    "\n"
    "  --event NAME    the event's name (required)\n"
    "  --unit U        its unit (default none)\n"
    "  --interval N    interval announced with the event (default 0)\n"
    "  --max N         maximum announced with the event (default 255)\n"
    "  --name NAME     the name to register under (default toruna-cli@HOSTNAME)\n"
    "  --always        publish whether or not anybody subscribed\n"
    "  --timeout SECONDS  give up after SECONDS if values are still unpublished\n"
    "                  (exit status 3)\n"
    "  --json          one JSON object per line\n"
    "\n"
    "Exit status 0 when every value was published.\n";

// A --timeout value: seconds above 0, at most an hour.
double ParseSeconds(const std::string& t, const std::string& cmd) {
  char* end = nullptr;
  const double v = std::strtod(t.c_str(), &end);
  if (t.empty() || *end != '\0' || !std::isfinite(v) || v <= 0 || v > 3600) {
    throw UsageError("--timeout needs a number of seconds above 0 (at most 3600), not '" + t + "'",
                     cmd);
  }
  return v;
}

std::string CommandName(Command c) {
  switch (c) {
    case Command::Discover: return "discover";
    case Command::Watch: return "watch";
    case Command::Publish: return "publish";
    case Command::Help:
    case Command::Version: break;
  }
  return "";
}

int16_t ParseInt16(const std::string& text, const std::string& option, const std::string& cmd) {
  errno = 0;
  char* end = nullptr;
  long v = std::strtol(text.c_str(), &end, 10);
  if (text.empty() || *end != '\0' || errno != 0 || v < -32768 || v > 32767) {
    throw UsageError(option + " needs a whole number from -32768 to 32767, not '" + text + "'",
                     cmd);
  }
  return static_cast<int16_t>(v);
}

// The client library's check of text that goes on the wire, as a usage error.
template <typename Check>
void CheckWireText(Check check, const std::string& cmd) {
  try {
    check();
  } catch (const client::TextError& e) {
    throw UsageError(e.what(), cmd);
  }
}

}  // namespace

std::optional<uint8_t> ArgumentParser::ParseValue(const std::string& text) {
  return tools::ValueText::Parse(text);
}

std::string ArgumentParser::HelpText(const std::string& command) {
  if (command == "discover") return kDiscoverHelp;
  if (command == "watch") return kWatchHelp;
  if (command == "publish") return kPublishHelp;
  return kOverview;
}

CommandLine ArgumentParser::Parse(const std::vector<std::string>& args) {
  CommandLine cl;
  if (args.empty()) throw UsageError("no command given", "");
  const std::string& first = args[0];
  if (first == "--help" || first == "-h" || first == "help") {
    cl.command = Command::Help;
    if (args.size() > 1) cl.helpTopic = args[1];
    return cl;
  }
  if (first == "--version") {
    cl.command = Command::Version;
    return cl;
  }
  if (first == "discover") {
    cl.command = Command::Discover;
  } else if (first == "watch") {
    cl.command = Command::Watch;
  } else if (first == "publish") {
    cl.command = Command::Publish;
  } else {
    throw UsageError("unknown command '" + first + "'", "");
  }
  const std::string cmd = CommandName(cl.command);

  std::vector<std::string> positional;
  bool sawEvent = false;
  tools::OptionScanner scan(args, 1, [&cmd](const std::string& message) { throw UsageError(message, cmd); });
  while (scan.Next()) {
    const std::string& arg = scan.Name();
    if (scan.IsShortOption()) {
      if (arg == "-h") {
        cl.command = Command::Help;
        cl.helpTopic = cmd;
        return cl;
      }
      throw UsageError("unknown option '" + arg + "'", cmd);
    }
    if (!scan.IsOption()) {
      positional.push_back(arg);
      continue;
    }
    auto value = [&scan] { return scan.Value(); };
    auto flag = [&scan] { scan.Flag(); };

    if (arg == "--help") {
      cl.command = Command::Help;
      cl.helpTopic = cmd;
      return cl;
    } else if (arg == "--json") {
      flag();
      cl.json = true;
    } else if (arg == "--timeout") {
      const double v = ParseSeconds(value(), cmd);
      if (cl.command == Command::Discover) cl.discover.timeoutSeconds = v;
      if (cl.command == Command::Watch) cl.watch.timeoutSeconds = v;
      if (cl.command == Command::Publish) cl.publish.timeoutSeconds = v;
    } else if (cl.command == Command::Watch && arg == "--count") {
      const std::string t = value();
      char* end = nullptr;
      errno = 0;
      const unsigned long long n = std::strtoull(t.c_str(), &end, 10);
      if (t.empty() || t[0] == '-' || *end != '\0' || errno != 0 || n == 0 || n > 4294967295ULL) {
        throw UsageError("--count needs a whole number of values above 0, not '" + t + "'", cmd);
      }
      cl.watch.count = static_cast<uint32_t>(n);
    } else if (cl.command == Command::Discover && arg == "--to") {
      std::string a = value();
      if (a.empty()) throw UsageError("--to needs an address", cmd);
      cl.discover.to.push_back(a);
    } else if (cl.command != Command::Discover && arg == "--name") {
      std::string n = value();
      if (n.empty()) throw UsageError("--name must not be empty", cmd);
      CheckWireText([&] { client::WireText::CheckClientName(n); }, cmd);
      (cl.command == Command::Watch ? cl.watch.name : cl.publish.name) = n;
    } else if (cl.command == Command::Watch && arg == "--subscribe") {
      std::string p = value();
      if (p.empty()) throw UsageError("--subscribe needs a pattern", cmd);
      cl.watch.patterns.push_back(p);
    } else if (cl.command == Command::Publish && arg == "--event") {
      cl.publish.event = value();
      if (cl.publish.event.empty()) throw UsageError("--event must not be empty", cmd);
      sawEvent = true;
    } else if (cl.command == Command::Publish && arg == "--unit") {
      cl.publish.unit = value();
    } else if (cl.command == Command::Publish && arg == "--interval") {
      cl.publish.interval = ParseInt16(value(), arg, cmd);
    } else if (cl.command == Command::Publish && arg == "--max") {
      cl.publish.max = ParseInt16(value(), arg, cmd);
    } else if (cl.command == Command::Publish && arg == "--always") {
      flag();
      cl.publish.always = true;
    } else {
      throw UsageError("unknown option '" + arg + "'", cmd);
    }
  }

  switch (cl.command) {
    case Command::Discover:
      if (!positional.empty()) throw UsageError("unexpected argument '" + positional[0] + "'", cmd);
      break;
    case Command::Watch:
      if (positional.empty()) throw UsageError("watch needs a HOST", cmd);
      if (positional.size() > 1) throw UsageError("unexpected argument '" + positional[1] + "'", cmd);
      cl.watch.host = positional[0];
      break;
    case Command::Publish:
      if (positional.empty()) throw UsageError("publish needs a HOST", cmd);
      if (!sawEvent) throw UsageError("publish needs --event NAME", cmd);
      CheckWireText([&] { client::WireText::CheckEvent(cl.publish.event, cl.publish.unit); }, cmd);
      cl.publish.host = positional[0];
      for (size_t i = 1; i < positional.size(); ++i) {
        auto v = ParseValue(positional[i]);
        if (!v) throw UsageError("a value must be a whole number from 0 to 255, not '" +
                                     positional[i] + "'",
                                 cmd);
        cl.publish.values.push_back(*v);
      }
      break;
    case Command::Help:
    case Command::Version:
      break;
  }
  if (cl.command == Command::Watch && cl.watch.host.empty()) throw UsageError("empty HOST", cmd);
  if (cl.command == Command::Publish && cl.publish.host.empty()) throw UsageError("empty HOST", cmd);
  return cl;
}

}  // namespace toruna::cli
