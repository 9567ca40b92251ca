#pragma once
// The whole server over the in-memory platform, for the targets that drive it
// from outside: frmMain with its discovery socket on 9666 and its listening
// socket on 13131, a settings file of its own naming it "Fuzz", and an alert
// service under which any message box fails the run (the server shows one
// only when its own state has gone wrong).

#include <cstdio>
#include <cstdlib>
#include <string>

#include "FuzzInput.h"
#include "base/AlertService.h"
#include "net/modNetSocket.h"
#include "server/frmMain.h"
#include "support/MemoryServer.h"

namespace toruna::fuzz {

inline constexpr const char* kServerName = "Fuzz";

class FailingAlerts : public base::AlertService {
 public:
  void Alert(const std::string& text, const std::string& caption) override {
    std::fprintf(stderr, "message box \"%s\": %s\n", caption.c_str(), text.c_str());
    std::abort();
  }
};

// The settings file, written once per process (the settings target rewrites it).
inline const std::string& SettingsPath() {
  static const std::string path =
      support::SettingsFile(std::string("[Toruna]\nServername=") + kServerName + "\n");
  return path;
}

inline void InstallFailingAlerts() {
  static FailingAlerts alerts;
  base::AlertService::Install(&alerts);
}

struct FuzzServer : support::MemoryServer {
  FuzzServer() : MemoryServer(Config()) {}
  ~FuzzServer() {
    form.reset();
    FUZZ_CHECK(platform.OpenSockets() == 0, "sockets left open after the server ended");
  }

  void Pump() { FUZZ_CHECK(platform.Pump(), "the loop never settles"); }

 private:
  static server::ServerConfig Config() {
    server::ServerConfig config;
    config.settingsPath = SettingsPath();
    return config;
  }
};

}  // namespace toruna::fuzz
