#pragma once
// One server bridged into the broker: the I/O around BridgeCore. The bridge's
// client connection to the server and its MQTT connection are each kept up on
// their own, with backoff; what they report goes to the core, which decides
// what is published. A server that answers under another name gets a new MQTT
// connection, since the will names the status topic.
// This class owns both connections and the core; it does not own the loop or
// the dispatcher.

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Backoff.h"
#include "BridgeArguments.h"
#include "BridgeCore.h"
#include "MqttLink.h"
#include "client/Connection.h"
#include "client/Discovery.h"

namespace toruna::bridge {

class ServerBridge {
 public:
  using Say = std::function<void(const std::string&)>;

  // The first attempt goes to host. With rediscover, every later one goes
  // to the address at which the server of that name answers a discovery.
  // localHost names the machine in the default MQTT client ID.
  ServerBridge(net::modNetSocket& dispatcher, net::EventLoop& loop, const BridgeOptions& options,
               std::string host, bool rediscover, std::string localHost, Say say);
  ~ServerBridge();
  ServerBridge(const ServerBridge&) = delete;
  ServerBridge& operator=(const ServerBridge&) = delete;

  void Start();
  // Says offline, hands the broker what waits (for a few seconds at most),
  // leaves the broker cleanly and the server; done runs once that is over.
  void Stop(std::function<void()> done);
  const std::string& ServerName() const { return core_.ServerName(); }

 private:
  // The server side.
  void ConnectRelay();
  void Discover();
  void OpenRelay(const std::string& host);
  void RetryRelay(const std::string& why);
  void Registered(const std::string& serverName);
  void RelayEnded(const client::Ending& ending);

  // The broker side.
  void StartBroker();
  void WireBroker(MqttLink& link);
  void BrokerConnected();
  void BrokerDown(const MqttDown& down);

  // The one clock of the bridge: the core's removals and the outbox's.
  void Tick();

  net::modNetSocket& dispatcher_;
  net::EventLoop& loop_;
  const BridgeOptions& options_;
  std::string host_;  // the server's address
  bool rediscover_ = false;
  bool attempted_ = false;
  std::string localHost_;
  Say say_;

  // The core publishes through whichever link is current; until the first
  // registration names the will, that is a port that is never connected.
  class NoBroker final : public MqttPort {
   public:
    bool Connected() const override { return false; }
    Ticket Publish(const std::string&, std::string_view, int, bool) override { return 0; }
    void Subscribe(const std::string&, int) override {}
  };
  NoBroker noBroker_;
  BridgeCore core_;

  std::unique_ptr<client::Connection> conn_;
  std::unique_ptr<client::Connection> retired_;  // ended inside its own callback
  std::unique_ptr<client::Discovery> discovery_;
  std::optional<net::EventLoop::TimerId> discoveryTimer_;
  std::optional<net::EventLoop::TimerId> relayRetry_;
  std::optional<net::EventLoop::TimerId> tick_;
  Backoff relayBackoff_;
  bool stopping_ = false;

  std::unique_ptr<MqttLink> mqtt_;
  std::vector<std::unique_ptr<MqttLink>> leaving_;  // links to a former name of the server, closing
  std::shared_ptr<int> alive_ = std::make_shared<int>(0);
};

}  // namespace toruna::bridge
