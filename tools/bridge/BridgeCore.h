#pragma once
// What the bridge publishes, and why: the rules between one server's roster
// and the broker, without I/O. ServerBridge drives it from the server
// connection and the MQTT link; tests drive it with frames and a fake port.
//
// - Every event of the roster whose "client/event" name matches a pattern is
//   described on its retained meta topic while it exists, and its values go to
//   its value topic through the Outbox (kept while the broker is away). The
//   bridge subscribes to those events on the server as soon as it is there.
// - The status topic says online while the server and the broker are both
//   there.
// - With Home Assistant, each event also has a retained config and an
//   availability topic. An event whose owner leaves, or whose server goes,
//   keeps its config and shows unavailable; a config is cleared only when its
//   owner removed the event and did not create it again within kRemovalGrace,
//   or when a message on the forget topic names it.
// - Retained metas and availability topics the broker holds for events that
//   no longer exist (left by an earlier run) are settled once the roster is
//   known: the bridge's own events come back, the others are marked gone.
// - With acceptSet, values on the set topics become values of the bridge's
//   own events (OwnEvents), echoed on their value topics once the event is
//   described.
// This class owns its Outbox; it does not own the port or the connection.

#include <chrono>
#include <deque>
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
#include "MqttPort.h"
#include "Outbox.h"
#include "OwnEvents.h"
#include "TopicNames.h"
#include "client/ClientProtocol.h"

namespace toruna::bridge {

class BridgeCore {
 public:
  using Say = std::function<void(const std::string&)>;
  using Clock = std::chrono::steady_clock;
  static constexpr auto kRemovalGrace = std::chrono::minutes(10);
  static constexpr size_t kMaxEchoes = OwnEvents::kMaxHeld;

  BridgeCore(const BridgeOptions& options, MqttPort& port, Say say);
  BridgeCore(const BridgeCore&) = delete;
  BridgeCore& operator=(const BridgeCore&) = delete;

  // The server side: a new connection, before it opens (nullptr: none).
  void Attach(client::ClientProtocol* relay);
  // The roster is complete. False when the server now has another name than
  // before: what was kept under the former one is being cleared, and the
  // caller must give the broker connection the new status topic as its will.
  bool Registered();
  void RelayEnded();
  void EventAdded(const client::EventEntry& e);
  void EventRemoved(const client::EventEntry& e);
  void ClientLeft(const std::vector<client::EventEntry>& events);
  void ValueArrived(const client::Value& v, std::chrono::system_clock::time_point received);
  void OwnReady(const client::OwnEvent& e);
  void OwnSubscribers(const client::OwnEvent& e) { own_.Changed(e); }

  // The broker side.
  void BrokerConnected();
  void BrokerDown(bool abrupt) { outbox_.Down(abrupt); }
  void Confirmed(MqttPort::Ticket t) { outbox_.Confirmed(t); }
  void BrokerMessage(const std::string& topic, std::string_view payload, bool retained);
  void SetPort(MqttPort& port) {
    port_ = &port;
    outbox_.SetPort(port);
  }
  // Once a second: removals whose grace is over, and the outbox's clock.
  void Tick(Clock::time_point now);
  // Says offline: the bridge leaves.
  void Leaving();

  // Empty until the first registration.
  const std::string& ServerName() const { return serverName_; }
  std::string StatusTopic() const { return topics_ ? topics_->Status() : ""; }
  std::string Base() const { return topics_ ? topics_->Base() : ""; }
  bool RelayUp() const { return relay_ != nullptr && relay_->Registered(); }
  const Outbox& Out() const { return outbox_; }
  const OwnEvents& Own() const { return own_; }

 private:
  // An event of the current roster, or of the bridge's own, by event ID.
  struct Bridged {
    std::string meta;   // its key in known_
    std::string value;  // where its values go
    bool mine = false;  // created by this bridge (described from its own events)
  };
  // An event the broker holds something of (a meta, an availability, a
  // config), by meta topic: the events of that name now, and whether the
  // broker still describes it.
  struct Known {
    std::string client;
    std::string event;
    bool own = false;
    std::string value;
    std::string available;
    std::string config;
    std::vector<int32_t> ids;
    bool metaHeld = false;
    bool markedOnline = false;  // the broker holds "online" for it, as far as known
    bool saidOffline = false;   // this run published "offline"; a retained "online" is older
    std::optional<Clock::time_point> removedAt;
  };

  // Events under the bridge's own client name are taken for its own: they are
  // numbers for Home Assistant, and come back after a restart.
  bool IsOwn(const std::string& client) const { return options_.acceptSet && client == options_.name; }
  Known& Know(const std::string& client, const std::string& event);
  void Appeared(int32_t id, const std::string& client, const std::string& name, bool mine);
  void Gone(int32_t id, bool removed);
  void Describe(Known& k, int32_t id);
  std::optional<BridgedEvent> Description(int32_t id, bool mine) const;
  void Absent(Known& k, bool removed);
  void Stale(Known& k);
  void Remove(const std::string& meta);
  void Forget(std::string_view pattern);
  void Reconcile();
  void TakeSet(const std::string& topic, const std::string& event, std::string_view payload);
  void Echo(const std::string& event, uint8_t value);
  void FlushEchoes(const std::string& event);
  void PublishStatus();
  void PublishServer();
  std::string ValuePayload(uint8_t value, std::chrono::system_clock::time_point received) const;

  const BridgeOptions& options_;
  std::vector<std::string> patterns_;
  Say say_;
  MqttPort* port_;
  Outbox outbox_;
  OwnEvents own_;
  client::ClientProtocol* relay_ = nullptr;
  bool brokerUp_ = false;

  std::string serverName_;
  std::unique_ptr<TopicNames> topics_;
  std::unique_ptr<HomeAssistant> homeAssistant_;
  std::map<int32_t, Bridged> events_;
  std::map<std::string, Known> known_;
  std::map<std::string, std::deque<uint8_t>> echoes_;  // own events' values waiting for their meta
  Clock::time_point now_;
};

}  // namespace toruna::bridge
