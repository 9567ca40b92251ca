#include "WebArguments.h"

#include <arpa/inet.h>

#include <optional>

#include "client/WireText.h"

namespace toruna::web {

namespace {

const char* const kHelp =
    "Usage: toruna-web [SERVER...] [OPTIONS]\n"
    "  or:  toruna-web --discover [OPTIONS]\n"
    "\n"
    "A live dashboard of Toruna servers in the browser. It registers with each\n"
    "SERVER (a host name or address) or, with --discover or without SERVER, with\n"
    "every server that answers a broadcast on the local network, and serves a page\n"
    "that shows the servers, their clients and events as they come and go, and\n"
    "plots the values of the events a viewer chooses. It subscribes to an event only\n"
    "while somebody watches it (or --export names it), so owners publish only then.\n"
    "Lost servers are reconnected by themselves; SIGTERM or Ctrl-C leaves cleanly.\n"
    "What it does is said on standard error.\n"
    "\n"
    "Options:\n"
    "  --discover            find the servers by broadcast (UDP port 9666), now and\n"
    "                        every 10 seconds (the default without SERVER)\n"
    "  --listen ADDR:PORT    serve the page there (default 127.0.0.1:8080);\n"
    "                        [V6]:PORT for IPv6, :PORT for every IPv4 address\n"
    "  --export PATTERN      keep the events whose \"client/event\" name matches\n"
    "                        subscribed, for /metrics (shell wildcards * ? [...];\n"
    "                        repeatable)\n"
    "  --allow-publish       let the page create events of the program's own and\n"
    "                        send values into them\n"
    "  --name NAME           the program's client name on the servers (default web)\n"
    "  --help                show this help\n"
    "  --version             show the version\n"
    "\n"
    "Pages: / the dashboard, /metrics Prometheus metrics, /api/... JSON for\n"
    "scripts (see docs/web.md). Only this machine can open the page unless --listen\n"
    "names another address; anybody who reaches it then sees every event.\n"
    "\n"
    "Exit status: 0 when stopped by a signal, 1 when it cannot start (the port is in\n"
    "use), 2 for bad arguments.\n";

uint16_t ParsePort(const std::string& text, const std::string& whole) {
  if (text.empty() || text.size() > 5 || text.find_first_not_of("0123456789") != std::string::npos) {
    throw UsageError("--listen needs ADDR:PORT with a port from 1 to 65535, not '" + whole + "'");
  }
  const int port = std::stoi(text);
  if (port < 1 || port > 65535) {
    throw UsageError("--listen needs ADDR:PORT with a port from 1 to 65535, not '" + whole + "'");
  }
  return static_cast<uint16_t>(port);
}

}  // namespace

std::string ListenAddress::Str() const {
  return (v6 ? "[" + address + "]" : address) + ":" + std::to_string(port);
}

bool ListenAddress::Loopback() const {
  if (v6) return address == "::1";
  in_addr a{};
  return inet_pton(AF_INET, address.c_str(), &a) == 1 && (ntohl(a.s_addr) >> 24) == 127;
}

std::string WebArguments::HelpText() { return kHelp; }

ListenAddress WebArguments::ParseListen(const std::string& text) {
  ListenAddress l;
  std::string host;
  std::string port;
  if (!text.empty() && text.front() == '[') {
    const size_t close = text.find(']');
    if (close == std::string::npos || close + 1 >= text.size() || text[close + 1] != ':') {
      throw UsageError("--listen: write an IPv6 address as [ADDR]:PORT, not '" + text + "'");
    }
    host = text.substr(1, close - 1);
    port = text.substr(close + 2);
    in6_addr a{};
    if (inet_pton(AF_INET6, host.c_str(), &a) != 1) {
      throw UsageError("--listen: '" + host + "' is not an IPv6 address");
    }
    l.v6 = true;
  } else {
    const size_t colon = text.rfind(':');
    if (colon == std::string::npos) throw UsageError("--listen needs ADDR:PORT, not '" + text + "'");
    if (text.find(':') != colon) {
      throw UsageError("--listen: write an IPv6 address in brackets, as [ADDR]:PORT, not '" + text + "'");
    }
    host = text.substr(0, colon);
    port = text.substr(colon + 1);
    if (host.empty()) host = "0.0.0.0";
    if (host == "localhost") host = "127.0.0.1";
    in_addr a{};
    if (inet_pton(AF_INET, host.c_str(), &a) != 1) {
      throw UsageError("--listen: '" + host + "' is not an IPv4 address (names other than localhost are not taken)");
    }
  }
  l.address = host;
  l.port = ParsePort(port, text);
  return l;
}

CommandLine WebArguments::Parse(const std::vector<std::string>& args) {
  CommandLine cl;
  WebOptions& o = cl.options;
  bool optionsEnded = false;

  for (size_t i = 0; i < args.size(); ++i) {
    std::string arg = args[i];
    if (optionsEnded || arg.size() < 2 || arg[0] != '-' || arg[1] != '-') {
      if (!optionsEnded && arg == "-h") {
        cl.help = true;
        return cl;
      }
      if (!optionsEnded && arg.size() > 1 && arg[0] == '-') throw UsageError("unknown option '" + arg + "'");
      if (arg.empty()) throw UsageError("empty SERVER");
      o.servers.push_back(arg);
      continue;
    }
    if (arg == "--") {
      optionsEnded = true;
      continue;
    }
    std::optional<std::string> inlineValue;
    if (size_t eq = arg.find('='); eq != std::string::npos) {
      inlineValue = arg.substr(eq + 1);
      arg = arg.substr(0, eq);
    }
    auto value = [&]() -> std::string {
      std::string v;
      if (inlineValue) {
        v = *inlineValue;
      } else {
        if (i + 1 >= args.size()) throw UsageError(arg + " needs a value");
        v = args[++i];
      }
      if (v.empty()) throw UsageError(arg + " needs a value");
      return v;
    };
    auto flag = [&]() {
      if (inlineValue) throw UsageError(arg + " takes no value");
    };

    if (arg == "--help") {
      cl.help = true;
      return cl;
    } else if (arg == "--version") {
      cl.version = true;
      return cl;
    } else if (arg == "--discover") {
      flag();
      o.discover = true;
    } else if (arg == "--listen") {
      o.listen = ParseListen(value());
    } else if (arg == "--export") {
      o.exports.push_back(value());
    } else if (arg == "--allow-publish") {
      flag();
      o.allowPublish = true;
    } else if (arg == "--name") {
      o.name = value();
      try {
        client::WireText::CheckClientName(o.name);
      } catch (const client::TextError& e) {
        throw UsageError(std::string("--name: ") + e.what());
      }
    } else {
      throw UsageError("unknown option '" + arg + "'");
    }
  }

  if (o.discover && !o.servers.empty()) {
    throw UsageError("give SERVER or --discover, not both ('" + o.servers[0] + "')");
  }
  if (o.servers.empty()) o.discover = true;
  return cl;
}

}  // namespace toruna::web
