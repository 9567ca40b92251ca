#pragma once
// The whole server over the in-memory platform, for the programs that drive it
// from outside (the relay's tests, the fuzz targets, the relay's benchmark):
// frmMain with its discovery and listening sockets on the ports its config
// names, tmrMain driven by the owner (tmrMain_Timer), and everything the
// platform and the dispatcher queue run by Pump. Link toruna_server with it.

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>

#include "net/modNetSocket.h"
#include "server/frmMain.h"
#include "support/MemoryPlatform.h"

namespace toruna::support {

// A settings file with the given content, unlinked at once and reached through
// its descriptor for the rest of the process, so that nothing is left behind
// however the process ends (libFuzzer often skips exit handlers). In memory
// where possible: a disk file system flushes a file rewritten often.
inline std::string SettingsFile(const std::string& content) {
  char name[] = "/dev/shm/toruna-settings-XXXXXX";
  int fd = mkstemp(name);
  if (fd < 0) {
    std::snprintf(name, sizeof name, "%s", "/tmp/toruna-settingsXXXXXX");
    fd = mkstemp(name);
  }
  if (fd < 0 || write(fd, content.data(), content.size()) != static_cast<ssize_t>(content.size())) {
    std::fprintf(stderr, "cannot write a settings file\n");
    std::abort();
  }
  unlink(name);
  return "/proc/self/fd/" + std::to_string(fd);
}

class MemoryServer {
 public:
  explicit MemoryServer(server::ServerConfig config, server::FrontEnd* frontEnd = nullptr) {
    form.emplace(dispatcher, nullptr, frontEnd, std::move(config));
    form->Form_Load();
  }
  MemoryServer(const MemoryServer&) = delete;
  MemoryServer& operator=(const MemoryServer&) = delete;

  // False when the loop never settles.
  bool Pump() { return platform.Pump(); }

  // Declared in this order so that they go in the reverse one.
  MemoryPlatform platform;
  net::modNetSocket dispatcher{platform, &platform};
  // final: nothing derives from it, so ending it needs no virtual destructor.
  struct Form final : server::frmMain {
    using frmMain::frmMain;
  };
  std::optional<Form> form;
};

}  // namespace toruna::support
