#pragma once
// Shell-style wildcard patterns (* ? [...]) over "client/event" names. A '*'
// also matches '/', so "*" selects every event and "Lab*" every event of the
// clients whose names begin with Lab.

#include <string>
#include <vector>

namespace toruna::client {

class NamePatterns {
 public:
  NamePatterns() = default;
  explicit NamePatterns(std::vector<std::string> patterns) : patterns_(std::move(patterns)) {}
  bool Empty() const { return patterns_.empty(); }
  bool Matches(const std::string& name) const;
  static std::string EventPath(const std::string& client, const std::string& event) {
    return client + "/" + event;
  }

 private:
  std::vector<std::string> patterns_;
};

}  // namespace toruna::client
