#pragma once
// /metrics in Prometheus's text format: the last value of each exported event
// as a gauge labelled with its server, client, event and unit, its count of
// values, then the program's own figures (servers, streams, requests) and the
// usual process_* ones.

#include <cstdint>
#include <string>
#include <string_view>

#include "ServerWatch.h"

namespace toruna::web {

class Metrics {
 public:
  struct Figures {
    size_t streams = 0;
    uint64_t droppedStreams = 0;
    uint64_t requests = 0;
  };

  static std::string Render(const ServerSet& servers, const Figures& figures);
  // A label value with backslash, double quote and line feed escaped.
  static std::string Label(std::string_view value);
};

}  // namespace toruna::web
