#pragma once
// A private socket layer for one test: its own event loop, the real Linux
// platform behind a FakePlatform, and a dispatcher over it. Sockets made by a
// test must be released before the rig (declare them after it).

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "FakePlatform.h"
#include "net/AlertService.h"
#include "net/CNetSocket.h"
#include "net/linux/EventLoop.h"
#include "net/linux/LinuxPlatform.h"
#include "net/modNetSocket.h"

namespace toruna::net::testing {

// Records the message boxes the layer shows instead of showing them.
class RecordingAlerts : public AlertService {
 public:
  RecordingAlerts() { AlertService::Install(this); }
  ~RecordingAlerts() override { AlertService::Install(nullptr); }
  void Alert(const std::string& text, const std::string& caption) override {
    shown.emplace_back(text, caption);
  }
  std::vector<std::pair<std::string, std::string>> shown;
};

// A snapshot of one Error event.
struct ErrorSeen {
  int32_t number = 0;
  std::string description;
  std::string source;
  bool cancelDisplay = false;
};

class LoopbackRig {
 public:
  EventLoop loop;
  LinuxPlatform real{loop};
  FakePlatform fake{real};
  modNetSocket module{fake};
  RecordingAlerts alerts;

  std::shared_ptr<CNetSocket> NewSocket(int32_t protocol = ProtocolTcp) {
    auto s = CNetSocket::Create(module);
    s->SetProtocol(protocol);
    return s;
  }

  // Runs the loop until done() holds; false when it still does not after a
  // generous bound (a hang guard, not a speed check).
  bool Pump(const std::function<bool()>& done, int boundMs = 10000) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(boundMs);
    while (!done()) {
      if (std::chrono::steady_clock::now() > end) return false;
      loop.ProcessReady(5);
    }
    return true;
  }
  // Lets already-pending notifications be handled.
  void Settle(int rounds = 20) {
    for (int i = 0; i < rounds; ++i) loop.ProcessReady(2);
  }

  // Records every Error event of s.
  static void CollectErrors(const std::shared_ptr<CNetSocket>& s, std::vector<ErrorSeen>& into) {
    s->OnError = [&into](SocketErrorArgs& e) {
      into.push_back({e.Number, e.Description, e.Source, e.CancelDisplay});
    };
  }

  struct Pair {
    std::shared_ptr<CNetSocket> listener;
    std::shared_ptr<CNetSocket> client;
    std::shared_ptr<CNetSocket> server;
  };

  // A listening object on 127.0.0.1 with the port the platform chose.
  std::shared_ptr<CNetSocket> NewListener() {
    auto listener = NewSocket();
    listener->Bind(Variant(0), Variant("127.0.0.1"));
    if (!listener->Listen()) return nullptr;
    return listener;
  }

  // A client connected to a server object that accepted it during ConnectionRequest.
  Pair ConnectPair() {
    Pair p;
    p.listener = NewListener();
    p.client = NewSocket();
    if (!p.listener) return p;
    auto* server = &p.server;
    p.listener->OnConnectionRequest = [this, server](int32_t id) {
      *server = NewSocket();
      (*server)->Accept(id);
    };
    p.client->Connect(Variant("127.0.0.1"), Variant(p.listener->LocalPort()));
    Pump([&] {
      return p.client->State() == StateConnected && p.server &&
             p.server->State() == StateConnected;
    });
    p.listener->OnConnectionRequest = nullptr;
    return p;
  }
};

}  // namespace toruna::net::testing
