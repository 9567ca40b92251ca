#pragma once
// One server bridged into the broker. The bridge's client connection to the
// server and its MQTT connection are each kept up on their own, with backoff;
// between them:
// - every event of the roster whose "client/event" name matches a pattern is
//   described retained on its meta topic, cleared when it goes, and
//   subscribed to on the server while the broker is reachable (so owners
//   publish while the bridge can pass values on, and not otherwise);
// - each value goes to the event's topic;
// - the status topic says online while both sides are up, offline otherwise
//   (the broker says it for a bridge that vanishes: the will);
// - with acceptSet, values on the set topics become values of the bridge's
//   own events (OwnEvents);
// - retained meta topics the broker holds for events that no longer exist
//   (left by an earlier run) are cleared once the roster is known.
// This class owns both connections; it does not own the loop or the dispatcher.

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "BridgeArguments.h"
#include "HomeAssistant.h"
#include "MqttLink.h"
#include "OwnEvents.h"
#include "Payloads.h"
#include "TopicNames.h"
#include "client/Connection.h"
#include "client/Discovery.h"

namespace toruna::bridge {

class ServerBridge {
 public:
  using Say = std::function<void(const std::string&)>;

  // The first attempt goes to host. With rediscover, every later one goes
  // to the address at which the server of that name answers a discovery.
  // localHost names the machine in the default MQTT client ID.
  ServerBridge(net::modNetSocket& dispatcher, loop::EventLoop& loop, const BridgeOptions& options,
               std::string host, bool rediscover, std::string localHost, Say say);
  ~ServerBridge();
  ServerBridge(const ServerBridge&) = delete;
  ServerBridge& operator=(const ServerBridge&) = delete;

  void Start();
  // Says offline, leaves the broker cleanly and the server; done runs once
  // that is over.
  void Stop(std::function<void()> done);
  const std::string& ServerName() const { return serverName_; }

 private:
  // The server side.
  void ConnectRelay();
  void Discover();
  void OpenRelay(const std::string& host);
  void RetryRelay(const std::string& why);
  void Registered(const std::string& serverName);
  void RelayEnded(const client::Ending& ending);
  void SubscribeRelay(bool on);
  bool RelayUp() const { return conn_ && conn_->Registered() && !conn_->Ended(); }

  // Events and values.
  void Appeared(const BridgedEvent& e);
  // Events under the bridge's own client name are taken for its own: they are
  // numbers for Home Assistant, and come back after a restart.
  bool IsOwn(const std::string& client) const { return options_.acceptSet && client == options_.name; }
  void Gone(int32_t eventId);
  void ForwardValue(const client::Value& v);
  void OwnReady(const client::OwnEvent& e);

  // The broker side.
  void StartBroker();
  void BrokerConnected();
  void BrokerDown(const std::string& why, std::chrono::milliseconds retryIn);
  void BrokerMessage(const std::string& topic, std::string_view payload);
  void TakeSet(const std::string& topic, const std::string& event, std::string_view payload);
  void Publish(const std::string& topic, std::string_view payload, bool retain);
  void PublishEvent(const BridgedEvent& e);
  void PublishStatus();
  // Clears what the bridge keeps retained for an event that is gone.
  void Clear(const TopicNames::EventPath& path);
  // A retained meta topic without a current event: the bridge's own event
  // comes back (acceptSet), anything else is cleared.
  void Stale(const std::string& metaTopic);
  void Reconcile();

  net::modNetSocket& dispatcher_;
  loop::EventLoop& loop_;
  const BridgeOptions& options_;
  std::vector<std::string> patterns_;
  std::string host_;  // the server's address
  bool rediscover_ = false;
  bool attempted_ = false;
  std::string localHost_;
  Say say_;

  std::unique_ptr<client::Connection> conn_;
  std::unique_ptr<client::Connection> retired_;  // ended inside its own callback
  std::unique_ptr<client::Discovery> discovery_;
  std::optional<loop::EventLoop::TimerId> discoveryTimer_;
  std::optional<loop::EventLoop::TimerId> relayRetry_;
  Backoff relayBackoff_;
  bool everRegistered_ = false;
  bool stopping_ = false;

  std::string serverName_;
  std::unique_ptr<TopicNames> topics_;
  std::unique_ptr<HomeAssistant> homeAssistant_;
  std::unique_ptr<MqttLink> mqtt_;
  std::vector<std::unique_ptr<MqttLink>> leaving_;  // links to a former name of the server, closing

  OwnEvents own_;
  std::map<int32_t, BridgedEvent> events_;               // by event ID, on this connection
  std::map<std::string, std::vector<int32_t>> byMeta_;   // meta topic: its events (same names)
  std::set<std::string> retained_;                       // meta topics the broker holds, as far as known
  std::shared_ptr<int> alive_ = std::make_shared<int>(0);
};

}  // namespace toruna::bridge
