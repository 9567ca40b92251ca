#include "client/NamePatterns.h"

#include <fnmatch.h>

#include <algorithm>

namespace toruna::client {

bool NamePatterns::Matches(const std::string& pattern, const std::string& name) {
  return fnmatch(pattern.c_str(), name.c_str(), 0) == 0;
}

bool NamePatterns::Matches(const std::string& name) const {
  return std::any_of(patterns_.begin(), patterns_.end(),
                     [&](const std::string& p) { return Matches(p, name); });
}

bool NamePatterns::Remove(const std::string& pattern) {
  const auto before = patterns_.size();
  std::erase(patterns_, pattern);
  return patterns_.size() != before;
}

}  // namespace toruna::client
