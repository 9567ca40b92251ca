#include "server/RefusalLog.h"

#include <iterator>

namespace toruna::server {

bool RefusalLog::ShouldLog(uint32_t address, uint32_t now) {
  if (now != tick_) {
    tick_ = now;
    linesThisTick_ = 0;
  }
  if (linesThisTick_ >= kLinesPerTick) return false;
  const auto found = lastLogged_.find(address);
  if (found != lastLogged_.end() && now - found->second < kTicksPerSource) return false;
  if (found == lastLogged_.end() && lastLogged_.size() >= kMaxSources) {
    // Entries older than a source's quiet time decide nothing any more.
    for (auto it = lastLogged_.begin(); it != lastLogged_.end();) {
      it = now - it->second >= kTicksPerSource ? lastLogged_.erase(it) : std::next(it);
    }
    if (lastLogged_.size() >= kMaxSources) return false;
  }
  lastLogged_[address] = now;
  ++linesThisTick_;
  return true;
}

}  // namespace toruna::server
