#pragma once
// The relay over the in-memory platform with the timer driven by the test, and
// helpers that connect, register and synchronise RelayTestClients. Nothing here
// waits on the clock: bytes move when the platform is pumped, and a pump
// returns once every notification and every piece of deferred or delayed work
// has run, so what has not happened by then does not happen.

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "RelayTestClient.h"
#include "ServerHarness.h"
#include "net/CNetSocket.h"
#include "protocol/Frame.h"
#include "support/MemoryServer.h"

namespace toruna::server::testing {

class RelayHarness : public ::testing::Test {
 protected:
  RelayHarness() { port = static_cast<uint16_t>(server.Listen->LocalPort()); }

  void Pump() {
    EXPECT_TRUE(relay_.Pump()) << "the server never settles";
    for (auto& c : clients) c->Poll();
  }

  // Pumps once unless done() holds already; the result is done(). done() is
  // asked at most twice, and not again once it has held (it may take a frame).
  bool PumpUntil(const std::function<bool()>& done) {
    if (done()) return true;
    Pump();
    return done();
  }

  // A connected client whose session the server has accepted; window as for
  // RelayTestClient.
  RelayTestClient& Connect(size_t window = 0) {
    int32_t before = server.colConnections.Count();
    clients.push_back(std::make_unique<RelayTestClient>(relay_.platform, port, window));
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

  Bytes WaitFrame(RelayTestClient& c) {
    std::optional<Bytes> frame;
    PumpUntil([&] { return (frame = c.TakeFrame()).has_value(); });
    EXPECT_TRUE(frame.has_value()) << "no frame arrived";
    return frame.value_or(Bytes{});
  }

  // Registers a connected client under name and takes every frame up to its
  // ServerInfo; returns the frames before ServerInfo.
  std::vector<Bytes> RegisterAs(RelayTestClient& c, const std::string& name) {
    c.Send(protocol::frames::ClientInfoRequest(Text(name)));
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
    c.Send(protocol::frames::EventInfoRequest(requestId, 10, 100, Text(text)));
    Bytes created = WaitFrame(c);
    EXPECT_EQ(created.size(), 12u);
    if (created.size() != 12u) return 0;
    for (auto& other : clients) {
      if (other.get() != &c && registered_.count(other.get()) && !other->PeerClosed()) WaitFrame(*other);
    }
    return protocol::GetInt32(&created[8]);
  }

  // Frames from one client are handled in order, and frames to it are sent in
  // order: once a value on an event nobody owns has been answered, everything c
  // sent before has been handled. Frames c had not taken yet are returned.
  std::vector<Bytes> Sync(RelayTestClient& c) {
    constexpr int32_t kNobody = 0x7FFF0000;
    const Bytes answer = protocol::frames::EventSubscribe(kNobody, 0);
    c.Send(protocol::frames::EventData(kNobody, 0));
    std::vector<Bytes> before;
    for (;;) {
      Bytes f = WaitFrame(c);
      if (f.empty() || f == answer) return before;
      before.push_back(f);
    }
  }

  void Forget(RelayTestClient& c) { registered_.erase(&c); }

  // Sockets the server holds open on the platform.
  size_t OpenSockets() const { return relay_.platform.OpenSockets(); }

  void Ticks(int n) {
    for (int i = 0; i < n; ++i) server.tmrMain_Timer();
  }

  RecordingAlerts alerts;
  TempSettings settings_{"[Toruna]\nServername=Relay\n"};
  RecordingFrontEnd frontEnd;

 private:
  static ServerConfig Config(const std::string& settingsPath) {
    ServerConfig config;
    config.discoveryPort = 0;
    config.listenPort = 0;
    config.settingsPath = settingsPath;
    return config;
  }
  support::MemoryServer relay_{Config(settings_.path()), &frontEnd};
  std::set<RelayTestClient*> registered_;

 public:
  frmMain& server = *relay_.form;
  uint16_t port = 0;
  // Last: they go first, while the platform they use is still there.
  std::vector<std::unique_ptr<RelayTestClient>> clients;
};

}  // namespace toruna::server::testing
