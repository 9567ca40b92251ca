#pragma once
// A private socket layer for one test: its own event loop, the real Linux
// platform behind a FakePlatform, and a dispatcher over it; plus plain
// loopback descriptors for the far side of a connection. Sockets made by a
// test must be released before the rig (declare them after it).

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <optional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "FakePlatform.h"
#include "FakeScheduler.h"
#include "base/RaisedError.h"
#include "base/RecordingAlerts.h"
#include "linux/LoopbackPeers.h"
#include "loop/EventLoop.h"
#include "loop/LoopPump.h"
#include "net/CNetSocket.h"
#include "net/linux/LinuxPlatform.h"
#include "net/linux/LoopScheduler.h"
#include "net/modNetSocket.h"

namespace toruna::net::testing {

// A snapshot of one Error event.
struct ErrorSeen {
  int32_t number = 0;
  std::string description;
  std::string source;
  bool cancelDisplay = false;
};

class LoopbackRig {
 public:
  loop::EventLoop loop;
  LinuxPlatform real{loop};
  FakePlatform fake{real};
  LoopScheduler loopScheduler{loop};
  FakeScheduler scheduler{loopScheduler};
  modNetSocket module{fake, &scheduler};
  base::testing::RecordingAlerts alerts;

  std::shared_ptr<CNetSocket> NewSocket() { return CNetSocket::Create(module); }
  std::shared_ptr<CNetSocket> NewSocket(int32_t protocol) {
    auto s = CNetSocket::Create(module);
    s->SetProtocol(protocol);
    return s;
  }

  // Runs the loop until done() holds; false after a generous bound.
  bool Pump(const std::function<bool()>& done, int boundMs = 10000) {
    return loop::testing::PumpUntil(loop, done, std::chrono::milliseconds(boundMs));
  }
  void RunFor(std::chrono::milliseconds span) { loop::testing::PumpFor(loop, span); }
  // Lets already-pending notifications be handled.
  void Settle(int rounds = 20) {
    for (int i = 0; i < rounds; ++i) loop.ProcessReady(2);
  }

  // Every socket made from now on reports a platform send buffer of size bytes.
  void ReportSendBuffer(int32_t size) {
    fake.onGetSockOpt = [size](SocketHandle, int, int option) -> std::optional<int32_t> {
      if (option == kSoSndBuf) return size;
      return std::nullopt;
    };
  }

  // Records every Error event of s.
  static void CollectErrors(const std::shared_ptr<CNetSocket>& s, std::vector<ErrorSeen>& into) {
    s->On().OnError = [&into](SocketErrorArgs& e) {
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
    p.listener->On().OnConnectionRequest = [this, server](int32_t id) {
      *server = NewSocket();
      (*server)->Accept(id);
    };
    p.client->Connect(Variant("127.0.0.1"), Variant(p.listener->LocalPort()));
    Pump([&] {
      return p.client->State() == StateConnected && p.server &&
             p.server->State() == StateConnected;
    });
    p.listener->On().OnConnectionRequest = nullptr;
    return p;
  }
};

// One TCP object on a rig of its own, for the tests of a single object.
class OneSocketTest : public ::testing::Test {
 protected:
  LoopbackRig bed;
  std::shared_ptr<CNetSocket> sock = bed.NewSocket();
};

// Counts the events of one object.
struct SocketEvents {
  explicit SocketEvents(CNetSocket& sock) {
    sock.On().OnConnect = [this] { ++connects; };
    sock.On().OnCloseSck = [this] { ++closes; };
    sock.On().OnError = [this](SocketErrorArgs& e) { errors.push_back(e); };
    sock.On().OnDataArrival = [this](int32_t total) { arrivals.push_back(total); };
    sock.On().OnConnectionRequest = [this](int32_t id) { requests.push_back(id); };
  }
  int connects = 0;
  int closes = 0;
  std::vector<SocketErrorArgs> errors;
  std::vector<int32_t> arrivals;
  std::vector<int32_t> requests;
};

// Records the send events of one object.
struct SendEvents {
  std::vector<std::pair<int32_t, int32_t>> progress;
  int complete = 0;
  void Attach(const std::shared_ptr<CNetSocket>& s) {
    s->On().OnSendProgress = [this](int32_t sent, int32_t remaining) {
      progress.emplace_back(sent, remaining);
    };
    s->On().OnSendComplete = [this] { ++complete; };
  }
};

// Runs f, which must raise; returns what it raised.
template <typename F>
base::RaisedError Raised(F&& f) {
  try {
    f();
  } catch (const base::RaisedError& e) {
    return e;
  }
  ADD_FAILURE() << "nothing was raised";
  return base::RaisedError(0, "", "");
}

}  // namespace toruna::net::testing
