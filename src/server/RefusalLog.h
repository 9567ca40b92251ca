#pragma once
// Which refusals are worth a log line: one per source address per minute, and
// a few per second in all, so that a scan or a flood of spoofed requests can
// neither fill the log nor grow this table without bound. Time is counted in
// the server's one-second ticks.

#include <cstddef>
#include <cstdint>
#include <unordered_map>

namespace toruna::server {

class RefusalLog {
 public:
  static constexpr uint32_t kTicksPerSource = 60;
  static constexpr uint32_t kLinesPerTick = 5;
  static constexpr size_t kMaxSources = 4096;

  // True when a refusal from address at tick now should be logged.
  bool ShouldLog(uint32_t address, uint32_t now);
  size_t Sources() const { return lastLogged_.size(); }

 private:
  std::unordered_map<uint32_t, uint32_t> lastLogged_;  // address -> tick
  uint32_t tick_ = 0;
  uint32_t linesThisTick_ = 0;
};

}  // namespace toruna::server
