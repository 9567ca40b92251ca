#pragma once
// A small client of the relay for in-process tests: a plain non-blocking POSIX
// socket on 127.0.0.1 that sends raw bytes and cuts the frames it receives. And
// the harness around it: the server window on an ephemeral port, a loop that is
// pumped while a test waits, and an alert service that records.

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "net/AlertService.h"
#include "net/CNetSocket.h"
#include "net/modNetSocket.h"
#include "net/linux/EventLoop.h"
#include "net/linux/LinuxPlatform.h"
#include "server/frmMain.h"
#include "session/Frame.h"

namespace toruna::server::testing {

using Bytes = std::vector<uint8_t>;

inline Bytes Text(const std::string& s) { return Bytes(s.begin(), s.end()); }

// prefix followed by n in decimal.
inline std::string Numbered(const char* prefix, int n) {
  std::string s(prefix);
  s += std::to_string(n);
  return s;
}

class RelayTestClient {
 public:
  explicit RelayTestClient(int32_t port, int receiveBuffer = 0) {
    fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
    if (receiveBuffer > 0) ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    // A loopback connect completes against the listen backlog without the server.
    connected_ = ::connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    ::fcntl(fd_, F_SETFL, ::fcntl(fd_, F_GETFL) | O_NONBLOCK);
    int one = 1;
    ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  }
  ~RelayTestClient() { Close(); }
  RelayTestClient(const RelayTestClient&) = delete;
  RelayTestClient& operator=(const RelayTestClient&) = delete;

  bool Connected() const { return connected_; }

  // Each call is one write on the wire (the server may still see it split or merged).
  void Send(const Bytes& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
      ssize_t n = ::send(fd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
      if (n > 0) done += static_cast<size_t>(n);
      else if (n < 0 && errno != EAGAIN && errno != EINTR) return;
    }
  }

  void Close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }
  // Closes with a reset instead of an orderly end.
  void Abort() {
    linger l{1, 0};
    ::setsockopt(fd_, SOL_SOCKET, SO_LINGER, &l, sizeof l);
    Close();
  }

  // From now on the bytes that arrive stay in the kernel's buffers.
  void StopReading() { reading_ = false; }

  // Reads what has arrived; notes the server's end of the connection.
  void Poll() {
    if (fd_ < 0 || !reading_) return;
    uint8_t buf[65536];
    for (;;) {
      ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
      if (n > 0) {
        received_.insert(received_.end(), buf, buf + n);
        continue;
      }
      if (n == 0 || (errno != EAGAIN && errno != EINTR)) peerClosed_ = true;
      return;
    }
  }

  bool PeerClosed() const { return peerClosed_; }
  const Bytes& Received() const { return received_; }
  size_t Unread() const { return received_.size() - taken_; }

  // The next complete frame, if one has arrived.
  std::optional<Bytes> TakeFrame() {
    if (Unread() < 3) return std::nullopt;
    const uint8_t* at = received_.data() + taken_;
    int16_t length = session::GetInt16(at + 1);
    size_t size = static_cast<size_t>(length) + 3;
    if (length < 0 || Unread() < size) return std::nullopt;
    Bytes frame(at, at + size);
    taken_ += size;
    return frame;
  }

 private:
  int fd_ = -1;
  bool connected_ = false;
  bool peerClosed_ = false;
  bool reading_ = true;
  Bytes received_;
  size_t taken_ = 0;
};

class RecordingAlerts : public net::AlertService {
 public:
  RecordingAlerts() { net::AlertService::Install(this); }
  ~RecordingAlerts() override { net::AlertService::Install(nullptr); }
  void Alert(const std::string& text, const std::string& caption) override {
    shown.emplace_back(text, caption);
    if (onAlert) onAlert();
  }
  std::vector<std::pair<std::string, std::string>> shown;
  std::function<void()> onAlert;
};

// A front end that lets a test act when a log line is written.
class TestFrontEnd : public FrontEnd {
 public:
  void LogLineAdded(const std::string& line) override {
    if (onLog) onLog(line);
  }
  void ShowWindow() override {}
  void HideWindow() override {}
  void AddTrayIcon() override {}
  void RemoveTrayIcon() override {}
  void PopupMenu() override {}
  std::function<void(const std::string&)> onLog;
};

// The relay on an ephemeral loopback port, with the timer driven by the test.
class RelayHarness : public ::testing::Test {
 protected:
  RelayHarness() {
    server.Form_Load();
    port = server.Listen->LocalPort();
  }
  ~RelayHarness() override { std::remove(settingsPath_.c_str()); }

  void Pump(int timeoutMs = 5) {
    loop.ProcessReady(timeoutMs);
    for (auto& c : clients) c->Poll();
  }

  // Pumps until done() or the deadline; the result is done().
  bool PumpUntil(const std::function<bool()>& done, int deadlineMs = 5000) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(deadlineMs);
    while (!done()) {
      if (std::chrono::steady_clock::now() > end) return false;
      Pump();
    }
    return true;
  }

  // Pumps for a while, for checks that nothing (more) happens.
  void Settle(int ms = 100) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (std::chrono::steady_clock::now() < end) Pump();
  }

  // A connected client whose session the server has accepted.
  RelayTestClient& Connect() {
    int32_t before = server.colConnections.Count();
    clients.push_back(std::make_unique<RelayTestClient>(port));
    EXPECT_TRUE(clients.back()->Connected());
    EXPECT_TRUE(PumpUntil([&] {
      if (server.colConnections.Count() <= before) return false;
      auto& s = server.colConnections.Item(server.colConnections.Count());
      return s->Sock->State() == net::StateConnected;
    }));
    return *clients.back();
  }

  std::shared_ptr<session::clsClient> LastSession() {
    return server.colConnections.Item(server.colConnections.Count());
  }

  Bytes WaitFrame(RelayTestClient& c, int deadlineMs = 5000) {
    std::optional<Bytes> frame;
    PumpUntil([&] { return (frame = c.TakeFrame()).has_value(); }, deadlineMs);
    EXPECT_TRUE(frame.has_value()) << "no frame arrived";
    return frame.value_or(Bytes{});
  }

  // Registers a connected client under name and takes every frame up to its
  // ServerInfo; returns the frames before ServerInfo.
  std::vector<Bytes> RegisterAs(RelayTestClient& c, const std::string& name) {
    c.Send(session::frames::ClientInfoRequest(Text(name)));
    std::vector<Bytes> before;
    for (;;) {
      Bytes f = WaitFrame(c);
      if (f.empty() || f == server.NameMessage()) return before;
      before.push_back(f);
    }
  }

  // A new client registered under name; the others' announcements are taken.
  RelayTestClient& Joined(const std::string& name) {
    RelayTestClient& c = Connect();
    RegisterAs(c, name);
    for (auto& other : clients) {
      if (other.get() == &c || other->PeerClosed()) continue;
      // Every registered client hears of the newcomer.
      if (registered_.count(other.get())) WaitFrame(*other);
    }
    registered_.insert(&c);
    return c;
  }

  // Creates an event for client c and returns its ID (the others' announcements are taken).
  int32_t CreateEvent(RelayTestClient& c, const std::string& text, int32_t requestId = 1) {
    c.Send(session::frames::EventInfoRequest(requestId, 10, 100, Text(text)));
    Bytes created = WaitFrame(c);
    EXPECT_EQ(created.size(), 12u);
    if (created.size() != 12u) return 0;
    for (auto& other : clients) {
      if (other.get() != &c && registered_.count(other.get()) && !other->PeerClosed()) WaitFrame(*other);
    }
    return session::GetInt32(&created[8]);
  }

  // Frames from one client are handled in order, and frames to it are sent in
  // order: once a value on an event nobody owns has been answered, everything c
  // sent before has been handled. Frames c had not taken yet are returned.
  std::vector<Bytes> Sync(RelayTestClient& c) {
    constexpr int32_t kNobody = 0x7FFF0000;
    const Bytes answer = session::frames::EventSubscribe(kNobody, 0);
    c.Send(session::frames::EventData(kNobody, 0));
    std::vector<Bytes> before;
    for (;;) {
      Bytes f = WaitFrame(c);
      if (f.empty() || f == answer) return before;
      before.push_back(f);
    }
  }

  void Forget(RelayTestClient& c) { registered_.erase(&c); }

  void Ticks(int n) {
    for (int i = 0; i < n; ++i) server.tmrMain_Timer();
  }

  // The server's name comes from a settings file of the test's own.
  static std::string NamedSettings() {
    char path[] = "/tmp/toruna-relay-XXXXXX";
    int fd = ::mkstemp(path);
    const char text[] = "[Toruna]\nServername=Relay\n";
    EXPECT_EQ(::write(fd, text, sizeof text - 1), static_cast<ssize_t>(sizeof text - 1));
    ::close(fd);
    return path;
  }
  std::string settingsPath_ = NamedSettings();

  // Sessions are destroyed with the server before the loop they use.
  net::EventLoop loop;
  net::LinuxPlatform platform{loop};
  net::modNetSocket dispatcher{platform};
  RecordingAlerts alerts;
  TestFrontEnd frontEnd;
  frmMain server{dispatcher, nullptr, &frontEnd, ServerConfig{.discoveryPort = 0, .listenPort = 0, .settingsPath = settingsPath_}};
  int32_t port = 0;
  std::vector<std::unique_ptr<RelayTestClient>> clients;

 private:
  std::set<RelayTestClient*> registered_;
};

}  // namespace toruna::server::testing
