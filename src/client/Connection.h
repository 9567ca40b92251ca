#pragma once
// A client's connection to a server: ClientProtocol on a TCP link, run by the
// project's event loop. Open connects and registers; everything else is
// ClientProtocol's. The end of the connection is reported once, through
// OnEnded, with a reason; a Connection is not reopened after that.
//
// The loop is Loop(): Run() it, or embed it in another loop by watching
// Loop().Fd() for readability and calling Loop().ProcessReady() then.
// This class owns its link; it does not own the loop or the dispatcher.

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "client/ClientProtocol.h"
#include "client/ServerLink.h"
#include "loop/EventLoop.h"

namespace toruna::net {
class modNetSocket;
}

namespace toruna::client {

class Connection : public ClientProtocol {
 public:
  static constexpr int32_t kServerPort = ServerLink::kServerPort;

  // On the process-wide socket layer and its loop.
  Connection();
  // On a socket layer and loop of the caller's.
  Connection(net::modNetSocket& dispatcher, loop::EventLoop& loop);
  ~Connection() override;

  // TCP is up and the registration has gone out.
  std::function<void()> OnConnected;
  // The connection failed or ended, and why. Not called for Close.
  std::function<void(const Ending&)> OnEnded;

  // Starts connecting to host (a name or an address) and registers under name
  // once connected. Throws TextError for a name that cannot be sent (nothing
  // is sent then) and std::logic_error when already opened. Failures to
  // connect come through OnEnded, possibly before Open returns.
  void Open(const std::string& host, const std::string& name, int32_t port = kServerPort,
            std::chrono::milliseconds connectTimeout = std::chrono::seconds(10));
  // Leaves at once; what is still unsent is dropped (see WhenSent).
  void Close();
  // Calls done once the server has handled everything handed over (a round
  // trip sent after it has been answered) and the connection has been read
  // for a short while more, so that closing then loses nothing.
  // Not called when the connection ends first.
  void WhenSent(std::function<void()> done);

  bool Connected() const { return link_.Connected(); }
  bool Ended() const { return ended_; }
  const std::string& Host() const { return host_; }
  // Bytes handed over and not yet given to the network, queued ones included.
  size_t Unsent() const { return link_.Unsent() + Queued(); }
  // The local machine's name; empty when unknown.
  std::string LocalHostName() { return link_.LocalHostName(); }
  loop::EventLoop& Loop() { return loop_; }

 private:
  void End(const Ending& ending);
  void CancelDrain();

  loop::EventLoop& loop_;
  ServerLink link_;
  std::string host_;
  std::string name_;
  bool opened_ = false;
  bool ended_ = false;
  std::optional<loop::EventLoop::TimerId> drainTimer_;
  int quietTicks_ = 0;
  std::function<void()> drained_;
};

}  // namespace toruna::client
