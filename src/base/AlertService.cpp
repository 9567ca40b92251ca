#include "base/AlertService.h"

#include <cstdio>

namespace toruna::base {

namespace {

// Without a front end nobody can acknowledge a box, so the text goes to the
// error stream and the caller carries on at once.
class StderrAlertService : public AlertService {
 public:
  void Alert(const std::string& text, const std::string& caption) override {
    std::fprintf(stderr, "%s: %s\n", caption.c_str(), text.c_str());
    std::fflush(stderr);
  }
};

StderrAlertService defaultService;
AlertService* installed = nullptr;

}  // namespace

AlertService& AlertService::Current() { return installed ? *installed : defaultService; }

void AlertService::Install(AlertService* service) { installed = service; }

}  // namespace toruna::base
