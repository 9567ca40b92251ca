#pragma once
// Records the message boxes the code under test shows instead of showing them;
// installed for as long as it lives.

#include <string>
#include <utility>
#include <vector>

#include "base/AlertService.h"

namespace toruna::base::testing {

class RecordingAlerts : public AlertService {
 public:
  RecordingAlerts() { AlertService::Install(this); }
  ~RecordingAlerts() override { AlertService::Install(nullptr); }
  RecordingAlerts(const RecordingAlerts&) = delete;
  RecordingAlerts& operator=(const RecordingAlerts&) = delete;
  void Alert(const std::string& text, const std::string& caption) override {
    shown.emplace_back(text, caption);
  }
  std::vector<std::pair<std::string, std::string>> shown;  // (text, caption)
};

}  // namespace toruna::base::testing
