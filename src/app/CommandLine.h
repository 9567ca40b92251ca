#pragma once
// The few options of toruna-server and toruna-tray. Ports and everything else
// are fixed or read from the settings file.

#include <string>
#include <vector>

namespace toruna::app {

class CommandLine {
 public:
  enum class Action { Run, Help, Version, Error };

  static CommandLine Parse(const std::vector<std::string>& args);  // without argv[0]

  Action action() const { return action_; }
  bool headless() const { return headless_; }
  // Run as the system service: the defaults of a service (see Usage).
  bool service() const { return service_; }
  // For Action::Error: what was wrong, in plain words.
  const std::string& error() const { return error_; }

  // tray: the text of toruna-tray, which has a window; otherwise of toruna-server.
  static std::string Usage(bool tray = false);
  static std::string VersionText(const std::string& program, const std::string& version);

 private:
  Action action_ = Action::Run;
  bool headless_ = false;
  bool service_ = false;
  std::string error_;
};

}  // namespace toruna::app
