#pragma once
// The console face of the server: every log line goes to one stream (standard
// output) as soon as it is added, always as one line (see LogLine), and message
// boxes are written to another (standard error) without waiting for anybody.
// The service writes its log through a LogOutput, which never blocks.
// There is no window and no icon.

#include <ostream>
#include <string>

#include "app/LogOutput.h"
#include "base/AlertService.h"
#include "server/FrontEnd.h"

namespace toruna::app {

class HeadlessFrontEnd : public server::FrontEnd, public base::AlertService {
 public:
  HeadlessFrontEnd(std::ostream& log, std::ostream& alerts) : log_(&log), alerts_(alerts) {}
  HeadlessFrontEnd(LogOutput& log, std::ostream& alerts) : output_(&log), alerts_(alerts) {}

  void LogLineAdded(const std::string& line) override;
  void ShowWindow() override {}
  void HideWindow() override {}
  void AddTrayIcon() override {}
  void RemoveTrayIcon() override {}
  void PopupMenu() override {}

  void Alert(const std::string& text, const std::string& caption) override;

 private:
  std::ostream* log_ = nullptr;
  LogOutput* output_ = nullptr;
  std::ostream& alerts_;
};

}  // namespace toruna::app
