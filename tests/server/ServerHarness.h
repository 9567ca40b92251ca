#pragma once
// A server window on its own loop, platform and dispatcher with ephemeral ports,
// a plain UDP peer over loopback, a front end and an alert service that record
// what they are asked, and settings files of a test's own.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "base/RecordingAlerts.h"
#include "loop/EventLoop.h"
#include "loop/LoopPump.h"
#include "net/FakePlatform.h"
#include "net/linux/LinuxPlatform.h"
#include "net/linux/LoopScheduler.h"
#include "net/modNetSocket.h"
#include "server/FrontEnd.h"
#include "server/frmMain.h"

namespace toruna::server::testing {

struct RecordingFrontEnd : FrontEnd {
  std::vector<std::string> lines;
  int shown = 0, hidden = 0, iconsAdded = 0, iconsRemoved = 0, popups = 0;
  std::function<void(const std::string&)> onLog;  // lets a test act when a line is written
  void LogLineAdded(const std::string& line) override {
    lines.push_back(line);
    if (onLog) onLog(line);
  }
  void ShowWindow() override { ++shown; }
  void HideWindow() override { ++hidden; }
  void AddTrayIcon() override { ++iconsAdded; }
  void RemoveTrayIcon() override { ++iconsRemoved; }
  void PopupMenu() override { ++popups; }
};

using base::testing::RecordingAlerts;

// A settings file of the test's own, removed at the end.
class TempSettings {
 public:
  explicit TempSettings(const std::string& content) {
    char tmpl[] = "/tmp/toruna-startup-XXXXXX";
    dir_ = mkdtemp(tmpl) ? tmpl : "/tmp";
    path_ = dir_ + "/Velmor Software.conf";
    std::ofstream(path_, std::ios::binary) << content;
  }
  ~TempSettings() { std::filesystem::remove_all(dir_); }
  const std::string& path() const { return path_; }

 private:
  std::string dir_, path_;
};

class ServerHarness {
 public:
  // withTimer: tmrMain runs on the loop (otherwise tests call tmrMain_Timer).
  // adjust: changes to the configuration before the window is made.
  explicit ServerHarness(const std::string& settingsPath, bool withTimer = false,
                         const std::function<void(ServerConfig&)>& adjust = {})
      : platform(loop), fake(platform), scheduler(loop), dispatcher(fake, &scheduler) {
    ServerConfig config;
    config.discoveryPort = 0;
    config.listenPort = 0;
    config.settingsPath = settingsPath;
    if (adjust) adjust(config);
    form = std::make_unique<frmMain>(dispatcher, withTimer ? &loop : nullptr, &frontEnd, config);
  }
  ~ServerHarness() {
    form.reset();
    loop.ProcessReady(0);
  }

  // Runs the loop until done() or the limit has passed.
  bool PumpUntil(const std::function<bool()>& done,
                 std::chrono::milliseconds limit = std::chrono::milliseconds(2000)) {
    return loop::testing::PumpUntil(loop, done, limit);
  }
  // Runs the loop for a while so that anything pending is handled.
  void PumpFor(std::chrono::milliseconds span) { loop::testing::PumpFor(loop, span); }

  loop::EventLoop loop;
  net::LinuxPlatform platform;
  net::testing::FakePlatform fake;
  net::LoopScheduler scheduler;
  net::modNetSocket dispatcher;
  RecordingFrontEnd frontEnd;
  std::unique_ptr<frmMain> form;
};

// A UDP socket on 127.0.0.1 with an ephemeral port.
class UdpPeer {
 public:
  UdpPeer() {
    fd_ = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    sockaddr_in a = Loopback(0);
    bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t n = sizeof a;
    getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &n);
    port_ = ntohs(a.sin_port);
  }
  ~UdpPeer() { close(fd_); }
  int port() const { return port_; }

  void SendTo(int port, const std::string& bytes) {
    sockaddr_in a = Loopback(port);
    sendto(fd_, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&a), sizeof a);
  }
  // One waiting datagram, if any.
  std::optional<std::string> Receive() {
    char buf[2048];
    const ssize_t n = recv(fd_, buf, sizeof buf, 0);
    if (n < 0) return std::nullopt;
    return std::string(buf, static_cast<size_t>(n));
  }

  static sockaddr_in Loopback(int port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return a;
  }

 private:
  int fd_ = -1;
  int port_ = 0;
};

}  // namespace toruna::server::testing
