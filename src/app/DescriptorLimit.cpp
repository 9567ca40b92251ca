#include "app/DescriptorLimit.h"

#include <dirent.h>
#include <sys/resource.h>

#include <cstdlib>
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

uint64_t DescriptorLimit::InUse(uint64_t limit) {
  DIR* dir = opendir("/proc/self/fd");
  if (dir == nullptr) return 3;  // the standard streams, at least
  const int own = dirfd(dir);
  uint64_t count = 0;
  while (const dirent* entry = readdir(dir)) {
    char* end = nullptr;
    const unsigned long fd = std::strtoul(entry->d_name, &end, 10);
    if (end == entry->d_name || *end != '\0' || static_cast<int>(fd) == own) continue;
    if (fd < limit) ++count;
  }
  closedir(dir);
  return count;
}

std::optional<std::string> DescriptorLimit::Shortage(uint64_t limit, uint64_t inUse) {
  const uint64_t taken = inUse + kOwnUse;
  const uint64_t clients = limit > taken ? limit - taken : 0;
  if (clients >= kWantedClients) return std::nullopt;
  return "only about " + std::to_string(clients) +
         " clients can connect at once: the process may open no more than " +
         std::to_string(limit) + " files (raise the hard limit, LimitNOFILE= of a service or " +
         "ulimit -Hn, to at least " + std::to_string(kWantedClients + kAdvisedSpare) + ")";
}

}  // namespace toruna::app
