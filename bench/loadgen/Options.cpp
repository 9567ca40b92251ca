#include "Options.h"

#include <algorithm>
#include <cstdlib>
#include <iterator>
#include <string_view>

namespace loadgen {
namespace {

bool ToNumber(const char* text, double& out) {
  char* end = nullptr;
  out = std::strtod(text, &end);
  return end != text && *end == '\0' && out >= 0;
}

}  // namespace

const char* Usage() {
  return "usage: toruna-loadgen --proto toruna|mqtt|nats [--label NAME] [--port N]\n"
         "         [--scenario fanout|latency|connscale|announce] [--subs N] [--clients N]\n"
         "         [--runs N] [--window N] [--seconds S] [--warmup S] [--messages N]\n"
         "         [--pending N] [--server-pid PID] [--rate R] [--how close|reset|owners]\n"
         "         [--tail S]\n"
         "         scenarios: fanout latency light rest connscale announce storm\n"
         "announce (Toruna only): --subs idle watchers (default 100), then --messages\n"
         "newcomers one after another (default 200).\n"
         "light: one publisher at --rate values/s to --subs subscribers (default 10)\n"
         "for --seconds; rest: the server's memory before any client, then its CPU\n"
         "with --subs (10) idle subscribers for --seconds.\n"
         "storm: a steady pair at --rate (1000) while --clients registered clients\n"
         "leave at once (--how), and --tail seconds after the server is done.\n"
         "Results are written to stdout as JSON lines; progress to stderr.\n";
}

bool ParseOptions(int argc, char** argv, Options& o, std::string& error) {
  bool subsGiven = false, messagesGiven = false;
  for (int i = 1; i < argc; ++i) {
    const std::string_view opt = argv[i];
    if (opt == "--help") {
      error = "";
      return false;
    }
    if (i + 1 >= argc) {
      error = std::string(opt) + " needs a value";
      return false;
    }
    const char* val = argv[++i];
    double num = 0;
    const bool isNum = ToNumber(val, num);
    auto need = [&](bool ok) {
      if (!ok) error = std::string(opt) + ": not a number: " + val;
      return ok;
    };
    if (opt == "--proto") o.proto = val;
    else if (opt == "--label") o.label = val;
    else if (opt == "--scenario") o.scenario = val;
    else if (opt == "--port") { if (!need(isNum && num < 65536)) return false; o.port = static_cast<uint16_t>(num); }
    else if (opt == "--subs") { if (!need(isNum && num >= 1)) return false; o.subscribers = static_cast<size_t>(num); subsGiven = true; }
    else if (opt == "--clients") { if (!need(isNum && num >= 1)) return false; o.clients = static_cast<size_t>(num); }
    else if (opt == "--runs") { if (!need(isNum && num >= 1)) return false; o.runs = static_cast<size_t>(num); }
    else if (opt == "--window") { if (!need(isNum && num >= 1)) return false; o.window = static_cast<size_t>(num); }
    else if (opt == "--seconds") { if (!need(isNum && num > 0)) return false; o.seconds = num; }
    else if (opt == "--warmup") { if (!need(isNum)) return false; o.warmup = num; }
    else if (opt == "--messages") { if (!need(isNum && num >= 1)) return false; o.messages = static_cast<uint64_t>(num); messagesGiven = true; }
    else if (opt == "--pending") { if (!need(isNum && num >= 1)) return false; o.maxPending = static_cast<size_t>(num); }
    else if (opt == "--rate") { if (!need(isNum)) return false; o.rate = num; }
    else if (opt == "--tail") { if (!need(isNum)) return false; o.tail = num; }
    else if (opt == "--how") o.how = val;
    else if (opt == "--server-pid") { if (!need(isNum)) return false; o.serverPid = static_cast<pid_t>(num); }
    else {
      error = "unknown option " + std::string(opt);
      return false;
    }
  }
  if (o.proto.empty()) {
    error = "--proto is required";
    return false;
  }
  static const char* const kScenarios[] = {"fanout", "latency", "light", "rest",
                                           "connscale", "announce", "storm"};
  if (std::find(std::begin(kScenarios), std::end(kScenarios), o.scenario) == std::end(kScenarios)) {
    error = "unknown scenario " + o.scenario;
    return false;
  }
  if (o.how != "close" && o.how != "reset" && o.how != "owners") {
    error = "--how: close, reset or owners, not " + o.how;
    return false;
  }
  if (o.scenario == "storm" && o.rate <= 0) {
    error = "the storm needs a steady pair: --rate above 0";
    return false;
  }
  if (o.scenario == "announce") {
    if (!subsGiven) o.subscribers = 100;
    if (!messagesGiven) o.messages = 200;
  }
  if ((o.scenario == "light" || o.scenario == "rest") && !subsGiven) o.subscribers = 10;
  if (o.label.empty()) o.label = o.proto;
  return true;
}

}  // namespace loadgen
