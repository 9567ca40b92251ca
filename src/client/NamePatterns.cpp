#include "client/NamePatterns.h"

#include <fnmatch.h>

namespace toruna::client {

bool NamePatterns::Matches(const std::string& name) const {
  for (const std::string& p : patterns_) {
    if (fnmatch(p.c_str(), name.c_str(), 0) == 0) return true;
  }
  return false;
}

}  // namespace toruna::client
