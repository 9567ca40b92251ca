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
  void Add(const std::string& pattern) { patterns_.push_back(pattern); }
  // Removes every copy of the pattern; false when it was not there.
  bool Remove(const std::string& pattern);
  const std::vector<std::string>& Patterns() const { return patterns_; }

  static bool Matches(const std::string& pattern, const std::string& name);
  static std::string EventPath(const std::string& client, const std::string& event) {
    return client + "/" + event;
  }

 private:
  std::vector<std::string> patterns_;
};

}  // namespace toruna::client
