#pragma once
// The whole server over the in-memory platform, for the targets that drive it
// from outside: frmMain with its discovery socket on 9666 and its listening
// socket on 13131, a settings file of its own naming it "Fuzz", and an alert
// service under which any message box fails the run (the server shows one
// only when its own state has gone wrong).

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <unistd.h>

#include "FuzzInput.h"
#include "MemoryPlatform.h"
#include "base/AlertService.h"
#include "net/modNetSocket.h"
#include "server/frmMain.h"

namespace toruna::fuzz {

inline constexpr const char* kServerName = "Fuzz";

class FailingAlerts : public base::AlertService {
 public:
  void Alert(const std::string& text, const std::string& caption) override {
    std::fprintf(stderr, "message box \"%s\": %s\n", caption.c_str(), text.c_str());
    std::abort();
  }
};

// The settings file, written once per process. It is unlinked at once and
// reached through its descriptor, so no file is left behind however the process
// ends (libFuzzer often skips exit handlers).
inline const std::string& SettingsPath() {
  static const std::string path = [] {
    // In memory where possible: the settings target rewrites the file on every
    // run, and a disk file system flushes a truncated file when it is closed.
    char name[] = "/dev/shm/toruna-fuzz-settings-XXXXXX";
    int fd = mkstemp(name);
    if (fd < 0) {
      std::snprintf(name, sizeof name, "%s", "/tmp/toruna-fuzz-settingsXXXXXX");
      fd = mkstemp(name);
    }
    FUZZ_CHECK(fd >= 0, "cannot create the settings file");
    unlink(name);
    const std::string content = std::string("[Toruna]\nServername=") + kServerName + "\n";
    FUZZ_CHECK(write(fd, content.data(), content.size()) == static_cast<ssize_t>(content.size()),
               "cannot write the settings file");
    return "/proc/self/fd/" + std::to_string(fd);
  }();
  return path;
}

inline void InstallFailingAlerts() {
  static FailingAlerts alerts;
  base::AlertService::Install(&alerts);
}

struct FuzzServer {
  FuzzServer() {
    server::ServerConfig config;
    config.settingsPath = SettingsPath();
    form.emplace(dispatcher, nullptr, nullptr, config);
    form->Form_Load();
  }
  ~FuzzServer() {
    form.reset();
    FUZZ_CHECK(platform.OpenSockets() == 0, "sockets left open after the server ended");
  }

  void Pump() { FUZZ_CHECK(platform.Pump(), "the loop never settles"); }

  // Declared in this order so that they go in the reverse one.
  MemoryPlatform platform;
  net::modNetSocket dispatcher{platform, &platform};
  // final: nothing derives from it, so ending it needs no virtual destructor.
  struct Form final : server::frmMain {
    using frmMain::frmMain;
  };
  std::optional<Form> form;
};

}  // namespace toruna::fuzz
