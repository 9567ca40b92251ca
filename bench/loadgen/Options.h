#pragma once
// Command line of the load generator.

#include <sys/types.h>

#include <cstdint>
#include <string>

namespace loadgen {

struct Options {
  std::string proto;                // toruna, mqtt or nats
  std::string label;                // the server's name in the results
  std::string scenario = "fanout";  // fanout, latency, light, rest, connscale, announce or storm
  uint16_t port = 0;                // 0: the protocol's usual port
  size_t subscribers = 1;           // announce: the watchers, 100 unless given;
                                    // light and rest: 10 unless given
  size_t clients = 1000;
  size_t runs = 3;
  size_t window = 64;
  double seconds = 3;
  double warmup = 0.5;
  uint64_t messages = UINT64_MAX;   // stop a run after this many messages;
                                    // announce: the newcomers, 200 unless given
  size_t maxPending = 64;           // clients between connect and registration
  double rate = 1000;               // light and storm: values per second
  std::string how = "close";        // storm: close, reset or owners
  double tail = 0.5;                // storm: seconds the steady pair goes on after it
  pid_t serverPid = 0;
};

// Parses argv into o; on a bad or unknown option writes why to `error`.
bool ParseOptions(int argc, char** argv, Options& o, std::string& error);
const char* Usage();

}  // namespace loadgen
