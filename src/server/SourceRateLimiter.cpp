#include "server/SourceRateLimiter.h"

namespace toruna::server {

bool SourceRateLimiter::Allow(const std::string& source) {
  if (perSecond_ <= 0) return true;
  auto found = counts_.find(source);
  if (found == counts_.end()) {
    const std::string key = counts_.size() < kMaxSources ? source : std::string();
    found = counts_.try_emplace(key).first;
  }
  Count& count = found->second;
  if (count.allowed < static_cast<uint32_t>(perSecond_)) {
    ++count.allowed;
    return true;
  }
  ++count.suppressed;
  return false;
}

void SourceRateLimiter::Tick(const std::function<void(const std::string&, uint64_t)>& report) {
  if (report) {
    for (const auto& [source, count] : counts_) {
      if (count.suppressed > 0) report(source, count.suppressed);
    }
  }
  counts_.clear();
  // A flood's table goes back; a quiet one keeps its few buckets.
  if (counts_.bucket_count() > 64) counts_.rehash(0);
}

}  // namespace toruna::server
