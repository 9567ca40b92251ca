#include "app/DescriptorLimit.h"

#include <sys/resource.h>

#include <limits>

namespace toruna::app {

uint64_t DescriptorLimit::RaiseToHard() {
  rlimit limit{};
  // Unknown: nothing to raise and nothing to say.
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return std::numeric_limits<uint64_t>::max();
  if (limit.rlim_cur < limit.rlim_max) {
    rlimit raised = limit;
    raised.rlim_cur = limit.rlim_max;
    // Refused only above the kernel's own ceiling (fs.nr_open); the old limit holds then.
    if (setrlimit(RLIMIT_NOFILE, &raised) == 0) limit = raised;
  }
  return limit.rlim_cur;
}

std::optional<std::string> DescriptorLimit::Shortage(uint64_t limit) {
  if (limit >= kWantedClients + kOwnUse) return std::nullopt;
  const uint64_t clients = limit > kOwnUse ? limit - kOwnUse : 0;
  return "only about " + std::to_string(clients) +
         " clients can connect at once: the process may open no more than " +
         std::to_string(limit) + " files (raise the hard limit, LimitNOFILE= of a service or " +
         "ulimit -Hn, to at least " + std::to_string(kWantedClients + kOwnUse) + ")";
}

}  // namespace toruna::app
