#pragma once
// Every modal message box of the system goes through here. A front end installs
// its own service; the default writes "caption: text" to standard error and
// returns at once.

#include <string>

namespace toruna::base {

class AlertService {
 public:
  virtual ~AlertService() = default;
  // Shows text with an OK button under caption and returns when it is acknowledged.
  virtual void Alert(const std::string& text, const std::string& caption) = 0;

  // The service in use; never null.
  static AlertService& Current();
  // Installs service (nullptr: back to the default). The caller keeps ownership.
  static void Install(AlertService* service);
};

}  // namespace toruna::base
