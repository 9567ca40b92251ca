#pragma once
// The relay on an ephemeral loopback port with its own loop and the timer
// driven by the test, and helpers that connect, register and synchronise
// RelayTestClients.

#include <gtest/gtest.h>

#include <chrono>
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

namespace toruna::server::testing {

// The relay on an ephemeral loopback port, with the timer driven by the test.
class RelayHarness : public ::testing::Test {
 protected:
  RelayHarness() {
    server.Form_Load();
    port = server.Listen->LocalPort();
  }
  void Pump(int timeoutMs = 5) {
    harness_.loop.ProcessReady(timeoutMs);
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

  void Ticks(int n) {
    for (int i = 0; i < n; ++i) server.tmrMain_Timer();
  }

  RecordingAlerts alerts;
  TempSettings settings_{"[Toruna]\nServername=Relay\n"};
  ServerHarness harness_{settings_.path()};
  frmMain& server = *harness_.form;
  RecordingFrontEnd& frontEnd = harness_.frontEnd;
  int32_t port = 0;
  std::vector<std::unique_ptr<RelayTestClient>> clients;

 private:
  std::set<RelayTestClient*> registered_;
};

}  // namespace toruna::server::testing
