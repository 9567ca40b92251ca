#pragma once
// How many times a second one source (a peer's address) may have something done
// for it: log lines it causes, discovery replies it gets. What goes beyond is
// counted per source and reported when the second is over. The sources of one
// second are kept, at most kMaxSources of them (the rest share one count), so a
// flood from many addresses cannot grow it without bound.

#include <cstdint>
#include <functional>
#include <string>
#include <unordered_map>

namespace toruna::server {

class SourceRateLimiter {
 public:
  static constexpr size_t kMaxSources = 4096;

  // perSecond 0: everything is allowed.
  explicit SourceRateLimiter(int32_t perSecond = 0) : perSecond_(perSecond) {}
  void SetRate(int32_t perSecond) { perSecond_ = perSecond; }

  // Whether one more may be done for source in this second; counts it either way.
  bool Allow(const std::string& source);

  // The second is over: report(source, suppressed) for every source that was
  // refused something (source is empty for the shared count), then forget it all.
  void Tick(const std::function<void(const std::string&, uint64_t)>& report);

 private:
  struct Count {
    uint32_t allowed = 0;
    uint64_t suppressed = 0;
  };
  int32_t perSecond_;
  std::unordered_map<std::string, Count> counts_;
};

}  // namespace toruna::server
