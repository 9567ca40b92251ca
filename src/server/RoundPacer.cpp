#include "server/RoundPacer.h"

#include <algorithm>

namespace toruna::server {

double RoundPacer::Budget(Clock::time_point now) const {
  const double elapsed = std::chrono::duration<double>(now - at_).count();
  return std::min(kBurstWrites, budget_ + std::max(0.0, elapsed) * kWritesPerSecond);
}

RoundPacer::Clock::time_point RoundPacer::ReadyAt(Clock::time_point now) const {
  const double budget = Budget(now);
  if (budget >= 0) return now;
  return now + std::chrono::ceil<Clock::duration>(std::chrono::duration<double>(-budget / kWritesPerSecond));
}

void RoundPacer::Began(size_t clients, Clock::time_point now) {
  budget_ = Budget(now) - static_cast<double>(clients);
  at_ = now;
}

}  // namespace toruna::server
