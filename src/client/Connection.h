#pragma once
// A client's connection to a server: ClientProtocol on a TCP link, run by the
// project's event loop. Open connects and registers; everything else is
// ClientProtocol's.
//
// Without reconnection, the end of the connection is reported once, through
// OnEnded, with a reason; Open may then be called again. With reconnection
// (SetReconnect), a lost connection or a failed attempt is reported through
// OnDown and tried again after a wait that doubles from `first` up to
// `longest`; once registered again, OnBack says so: the same name, the own
// events created again (OnEventReady for each, same handles), the
// subscriptions restored. OnEnded is not called then; Close ends it.
//
// The loop is Loop(): Run() it, or embed it in another loop by watching
// Loop().Fd() for readability and calling Loop().ProcessReady() then.
// This class owns its links; it does not own the loop or the dispatcher.

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "client/ClientProtocol.h"
#include "client/Ending.h"
#include "net/KeepAlive.h"
#include "loop/EventLoop.h"

namespace toruna::net {
class modNetSocket;
}

namespace toruna::client {

class ServerLink;

class Connection : public ClientProtocol {
 public:
  static constexpr int32_t kServerPort = 13131;

  // The waits between attempts to come back: the first after `first`, each
  // one twice the one before up to `longest`, each shortened by up to a
  // quarter at random so that many clients of a restarted server do not all
  // knock at once.
  struct Reconnect {
    std::chrono::milliseconds first{500};
    std::chrono::milliseconds longest{30000};
  };

  // On the process-wide socket layer and its loop.
  Connection();
  // On a socket layer and loop of the caller's.
  Connection(net::modNetSocket& dispatcher, loop::EventLoop& loop);
  ~Connection() override;

  // TCP is up and the registration has gone out.
  std::function<void()> OnConnected;
  // The connection failed or ended, and why. Not called for Close, nor with
  // reconnection on.
  std::function<void(const Ending&)> OnEnded;
  // With reconnection: the connection was lost, or an attempt to come back
  // failed, and why; the next attempt follows after retryIn. Then the roster
  // empties (OnClientLeft for each client, OnSubscribers for each own event
  // that had a subscriber); while down nothing can be published.
  std::function<void(const Ending& why, std::chrono::milliseconds retryIn)> OnDown;
  // With reconnection: registered again after being down; the roster is
  // complete again. (The first registration of an Open is OnRegistered.)
  std::function<void(const std::string& serverName)> OnBack;

  // Reconnection on (before Open or at any time) or off (nullopt, the default).
  void SetReconnect(std::optional<Reconnect> reconnect) { reconnect_ = reconnect; }
  // How a server that vanished without a word is noticed, from the next
  // connection on. The default notices it within about two minutes.
  void SetKeepAlive(const net::KeepAlive& settings) { keepAlive_ = settings; }

  // Starts connecting to host (a name or an address) and registers under name
  // once connected. Throws TextError for a name that cannot be sent (nothing
  // is sent then) and std::logic_error while open (Close it first). Failures
  // to connect come through OnEnded (or OnDown), possibly before Open returns.
  // Opened again after its end, it starts afresh: own events and
  // subscriptions asked for are kept.
  void Open(const std::string& host, const std::string& name, int32_t port = kServerPort,
            std::chrono::milliseconds connectTimeout = std::chrono::seconds(10));
  // Leaves at once; what is still unsent is dropped (see WhenSent).
  void Close();
  // Calls done once the server has handled everything handed over (a round
  // trip sent after it has been answered) and the connection has been read
  // for a short while more, so that closing then loses nothing.
  // Not called when the connection ends or goes down first.
  void WhenSent(std::function<void()> done);

  bool Connected() const;
  // Closed, or ended without reconnection.
  bool Ended() const { return ended_; }
  // With reconnection: lost and not registered again yet.
  bool Down() const { return down_; }
  const std::string& Host() const { return host_; }
  // Bytes handed over and not yet given to the network, queued ones included.
  size_t Unsent() const;
  // The local machine's name; empty when unknown.
  std::string LocalHostName();
  loop::EventLoop& Loop() { return loop_; }

 private:
  void Attempt();
  void LinkFailed(uint64_t generation, const Ending& ending);
  void GoDown(const Ending& ending);
  void HandleRegistered(const std::string& serverName) override;
  std::chrono::milliseconds NextWait();
  void CancelDrain();
  void CancelRetry();

  net::modNetSocket& dispatcher_;
  loop::EventLoop& loop_;
  std::unique_ptr<ServerLink> link_;
  // Links replaced while their own callbacks may still be running; released
  // from the loop once those have returned.
  std::vector<std::unique_ptr<ServerLink>> retired_;
  std::shared_ptr<int> alive_ = std::make_shared<int>(0);
  uint64_t generation_ = 0;  // of link_: callbacks of older links are ignored

  std::string host_;
  std::string name_;
  int32_t port_ = kServerPort;
  std::chrono::milliseconds connectTimeout_{10000};
  bool opened_ = false;
  bool ended_ = false;
  bool down_ = false;
  bool registeredOnce_ = false;  // since the last Open

  std::optional<Reconnect> reconnect_;
  net::KeepAlive keepAlive_;
  std::chrono::milliseconds lastWait_{0};
  std::optional<loop::EventLoop::TimerId> retryTimer_;
  std::minstd_rand random_{std::random_device{}()};

  std::optional<loop::EventLoop::TimerId> drainTimer_;
  int quietTicks_ = 0;
  std::function<void()> drained_;
};

}  // namespace toruna::client
