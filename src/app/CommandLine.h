#pragma once
// The few options of toruna-server. Ports and everything else are fixed.

#include <string>
#include <vector>

namespace toruna::app {

class CommandLine {
 public:
  enum class Action { Run, Help, Version, Error };

  static CommandLine Parse(const std::vector<std::string>& args);  // without argv[0]

  Action action() const { return action_; }
  bool headless() const { return headless_; }
  // For Action::Error: what was wrong, in plain words.
  const std::string& error() const { return error_; }

  static std::string Usage();
  static std::string VersionText(const std::string& version);

 private:
  Action action_ = Action::Run;
  bool headless_ = false;
  std::string error_;
};

}  // namespace toruna::app
