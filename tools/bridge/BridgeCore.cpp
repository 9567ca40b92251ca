#include "BridgeCore.h"

#include "client/WireText.h"

namespace toruna::bridge {

namespace {

constexpr const char* kOnline = "online";
constexpr const char* kOffline = "offline";

}  // namespace

BridgeCore::BridgeCore(const BridgeOptions& options, MqttPort& port, Say say)
    : options_(options),
      patterns_(options.patterns.empty() ? std::vector<std::string>{"*"} : options.patterns),
      say_(std::move(say)),
      port_(&port),
      outbox_(port, options.mqtt.qos, options.queue, say_),
      own_(say_),
      now_(Clock::now()) {
  for (const std::string& event : options_.ownEvents) own_.Ensure(event);
}

// The server side.

void BridgeCore::Attach(client::ClientProtocol* relay) {
  relay_ = relay;
  own_.Attach(relay);
  if (relay == nullptr) return;
  // Subscribed from the start: values that come while the broker is away
  // wait in the outbox.
  for (const std::string& p : patterns_) relay->Subscribe(p);
}

bool BridgeCore::Registered() {
  const std::string& name = relay_->ServerName();
  const bool renamed = topics_ && name != serverName_;
  if (renamed) {
    say_("the server was called \"" + serverName_ + "\" before; moving its topics");
    for (const auto& [meta, k] : known_) {
      if (k.metaHeld) outbox_.State(meta, "");
      if (options_.homeAssistant) {
        outbox_.State(k.config, "");
        outbox_.State(k.available, "");
      }
      if (options_.retainValues) outbox_.State(k.value, "");
    }
    known_.clear();
    if (options_.homeAssistant) outbox_.State(homeAssistant_->ServerConfigTopic(), "");
    outbox_.State(topics_->Status(), kOffline);
  }
  if (!topics_ || renamed) {
    serverName_ = name;
    topics_ = std::make_unique<TopicNames>(options_.prefix, serverName_, options_.profile);
    homeAssistant_ = std::make_unique<HomeAssistant>(options_.discoveryPrefix, serverName_, *topics_,
                                                     options_.jsonValues, options_.version);
    PublishServer();
  }
  // The roster as the server has it now; events announced before this were
  // left for here.
  const client::NamePatterns patterns(patterns_);
  for (const auto& [id, e] : relay_->State().Events()) {
    if (patterns.Matches(relay_->PathOf(e))) Appeared(id, relay_->State().ClientName(e.owner), e.name, false);
  }
  for (const auto& [handle, e] : relay_->OwnEvents()) {
    if (e.id != 0) Appeared(e.id, options_.name, e.name, true);
  }
  Reconcile();
  PublishStatus();
  return !renamed;
}

void BridgeCore::RelayEnded() {
  Attach(nullptr);
  // What the bridge published stays while the server is away: the status
  // says it is stale, and the next roster settles it.
  events_.clear();
  for (auto& [meta, k] : known_) k.ids.clear();
  PublishStatus();
}

void BridgeCore::EventAdded(const client::EventEntry& e) {
  if (!RelayUp() || !client::NamePatterns(patterns_).Matches(relay_->PathOf(e))) return;
  Appeared(e.id, relay_->State().ClientName(e.owner), e.name, false);
}

void BridgeCore::EventRemoved(const client::EventEntry& e) { Gone(e.id, true); }

void BridgeCore::ClientLeft(const std::vector<client::EventEntry>& events) {
  for (const client::EventEntry& e : events) Gone(e.id, false);
}

void BridgeCore::ValueArrived(const client::Value& v, std::chrono::system_clock::time_point received) {
  auto it = events_.find(v.event.id);
  if (it == events_.end()) return;
  outbox_.Value(it->second.value, ValuePayload(v.value, received), options_.retainValues);
}

void BridgeCore::OwnReady(const client::OwnEvent& e) {
  if (RelayUp()) Appeared(e.id, options_.name, e.name, true);
  own_.Changed(e);
}

// Events.

BridgeCore::Known& BridgeCore::Know(const std::string& client, const std::string& event) {
  auto [it, fresh] = known_.try_emplace(topics_->Meta(client, event));
  Known& k = it->second;
  if (fresh) {
    k.client = client;
    k.event = event;
    k.own = IsOwn(client);
    k.value = topics_->Value(client, event);
    if (options_.homeAssistant) {
      k.available = topics_->Available(client, event);
      k.config = homeAssistant_->ConfigTopic(client, event, k.own);
    }
  }
  return k;
}

void BridgeCore::Appeared(int32_t id, const std::string& client, const std::string& name, bool mine) {
  if (!topics_ || events_.count(id) != 0) return;
  Known& k = Know(client, name);
  k.ids.push_back(id);
  k.removedAt.reset();
  events_[id] = Bridged{topics_->Meta(client, name), k.value, mine};
  Describe(k, id);
  if (mine) FlushEchoes(name);
}

std::optional<BridgedEvent> BridgeCore::Description(int32_t id, bool mine) const {
  if (relay_ == nullptr) return std::nullopt;
  if (mine) {
    for (const auto& [handle, e] : relay_->OwnEvents()) {
      if (e.id == id) return BridgedEvent{id, options_.name, std::nullopt, e.name, e.unit, e.interval, e.max};
    }
    return std::nullopt;
  }
  const auto& events = relay_->State().Events();
  auto it = events.find(id);
  if (it == events.end()) return std::nullopt;
  const client::EventEntry& e = it->second;
  return BridgedEvent{id, relay_->State().ClientName(e.owner), e.owner, e.name, e.unit, e.interval, e.max};
}

void BridgeCore::Describe(Known& k, int32_t id) {
  auto it = events_.find(id);
  const auto desc = it != events_.end() ? Description(id, it->second.mine) : std::nullopt;
  if (!desc) return;
  outbox_.State(topics_->Meta(k.client, k.event), Payloads::Meta(*desc));
  k.metaHeld = true;
  if (options_.homeAssistant) {
    outbox_.State(k.config, homeAssistant_->Config(*desc, k.own));
    outbox_.State(k.available, kOnline);
    k.markedOnline = true;
    k.saidOffline = false;
  }
}

void BridgeCore::Gone(int32_t id, bool removed) {
  auto it = events_.find(id);
  if (it == events_.end()) return;
  auto kit = known_.find(it->second.meta);
  events_.erase(it);
  if (kit == known_.end()) return;
  Known& k = kit->second;
  std::erase(k.ids, id);
  if (!k.ids.empty()) {
    // Another event of the same names remains: it keeps the topics.
    Describe(k, k.ids.back());
    return;
  }
  Absent(k, removed);
}

void BridgeCore::Absent(Known& k, bool removed) {
  const std::string meta = topics_->Meta(k.client, k.event);
  if (k.metaHeld) outbox_.State(meta, "");
  k.metaHeld = false;
  if (!options_.homeAssistant) {
    if (options_.retainValues) outbox_.State(k.value, "");
    known_.erase(meta);
    return;
  }
  // Home Assistant keeps the entity, unavailable, until it is removed for good.
  outbox_.State(k.available, kOffline);
  k.markedOnline = false;
  k.saidOffline = true;
  if (removed) k.removedAt = now_;
}

void BridgeCore::Stale(Known& k) {
  if (k.own) {
    try {
      if (own_.Ensure(k.event)) return;  // created again; described once it is
    } catch (const client::TextError&) {
      // Not a name the server takes: gone like any other.
    }
  }
  Absent(k, false);
}

void BridgeCore::Reconcile() {
  std::vector<std::string> stale;
  for (const auto& [meta, k] : known_) {
    if (k.ids.empty() && (k.metaHeld || k.markedOnline)) stale.push_back(meta);
  }
  for (const std::string& meta : stale) {
    if (auto it = known_.find(meta); it != known_.end()) Stale(it->second);
  }
}

void BridgeCore::Remove(const std::string& meta) {
  auto it = known_.find(meta);
  if (it == known_.end()) return;
  const Known& k = it->second;
  if (k.metaHeld) outbox_.State(meta, "");
  if (options_.homeAssistant) {
    outbox_.State(k.config, "");
    outbox_.State(k.available, "");
  }
  if (options_.retainValues) outbox_.State(k.value, "");
  known_.erase(it);
}

void BridgeCore::Forget(std::string_view payload) {
  const size_t first = payload.find_first_not_of(" \t\r\n");
  const std::string pattern =
      first == std::string_view::npos
          ? "*"
          : std::string(payload.substr(first, payload.find_last_not_of(" \t\r\n") - first + 1));
  std::vector<std::string> gone;
  for (const auto& [meta, k] : known_) {
    if (k.ids.empty() && client::NamePatterns::Matches(pattern, client::NamePatterns::EventPath(k.client, k.event))) {
      gone.push_back(meta);
    }
  }
  for (const std::string& meta : gone) Remove(meta);
  say_("forgot " + std::to_string(gone.size()) + " absent event" + (gone.size() == 1 ? "" : "s") +
       " matching '" + pattern + "'");
}

void BridgeCore::Tick(Clock::time_point now) {
  now_ = now;
  outbox_.Tick();
  std::vector<std::string> due;
  for (const auto& [meta, k] : known_) {
    if (k.removedAt && k.ids.empty() && now - *k.removedAt >= kRemovalGrace) due.push_back(meta);
  }
  for (const std::string& meta : due) {
    const Known& k = known_.at(meta);
    say_("removed " + client::NamePatterns::EventPath(k.client, k.event) +
         " from Home Assistant: its owner removed it and has not created it again");
    Remove(meta);
  }
}

// The broker side.

void BridgeCore::BrokerConnected() {
  brokerUp_ = true;
  if (topics_) {
    const int qos = outbox_.Qos();
    port_->Subscribe(topics_->MetaFilter(), qos);
    if (options_.homeAssistant) {
      port_->Subscribe(topics_->AvailableFilter(), qos);
      port_->Subscribe(topics_->Forget(), qos);
    }
    if (options_.acceptSet) port_->Subscribe(topics_->SetFilter(options_.name), qos);
    // A broker that restarted without persistence has forgotten it all.
    PublishServer();
    PublishStatus();
    for (auto& [meta, k] : known_) {
      if (!k.ids.empty()) Describe(k, k.ids.back());
    }
  }
  outbox_.Connected();
}

void BridgeCore::BrokerMessage(const std::string& topic, std::string_view payload, bool retained) {
  if (!topics_) return;
  if (options_.acceptSet && topic.ends_with("/set")) {
    if (auto event = topics_->ParseSet(topic, options_.name)) {
      if (retained && !options_.acceptRetainedSet) {
        say_("ignored the retained value on " + topic + " (--accept-retained-set takes it)");
        return;
      }
      TakeSet(topic, *event, payload);
    } else {
      say_("ignored " + topic + ": not an event name ('%' must be followed by two hex digits)");
    }
    return;
  }
  if (options_.homeAssistant && topic == topics_->Forget()) {
    if (!retained) Forget(payload);  // a command, not a state to apply at every start
    return;
  }
  if (auto path = topics_->ParseMeta(topic)) {
    if (payload.empty()) {
      if (auto it = known_.find(topic); it != known_.end()) it->second.metaHeld = false;
      return;
    }
    Known& k = Know(path->client, path->event);
    k.metaHeld = true;
    if (RelayUp() && k.ids.empty()) Stale(k);
    return;
  }
  if (!options_.homeAssistant || payload.empty()) return;
  if (auto path = topics_->ParseAvailable(topic)) {
    Known& k = Know(path->client, path->event);
    if (retained && k.saidOffline) return;
    k.markedOnline = payload == kOnline;
    if (k.markedOnline && RelayUp() && k.ids.empty()) Stale(k);
  }
}

void BridgeCore::TakeSet(const std::string& topic, const std::string& event, std::string_view payload) {
  const auto value = Payloads::ParseValue(payload);
  if (!value) {
    std::string shown(payload.substr(0, 40));
    for (char& c : shown) {
      if (static_cast<unsigned char>(c) < 0x20) c = '?';
    }
    say_("ignored '" + shown + "' on " + topic + ": not a value from 0 to 255");
    return;
  }
  const bool fresh = !own_.Has(event);
  try {
    if (!own_.Set(event, *value)) {
      say_("ignored " + topic + ": the bridge has " + std::to_string(OwnEvents::kMaxEvents) +
           " events of its own already");
      return;
    }
  } catch (const client::TextError& e) {
    say_("ignored " + topic + ": " + e.what());
    return;
  }
  if (fresh) say_("created event " + event + " for " + topic);
  Echo(event, *value);
}

void BridgeCore::Echo(const std::string& event, uint8_t value) {
  // The event's own topic carries its value, as for every other event, once
  // its meta is out.
  auto k = known_.find(topics_->Meta(options_.name, event));
  if (k != known_.end() && !k->second.ids.empty() && echoes_.count(event) == 0) {
    outbox_.Value(k->second.value, ValuePayload(value, std::chrono::system_clock::now()), options_.retainValues);
    return;
  }
  auto& waiting = echoes_[event];
  waiting.push_back(value);
  if (waiting.size() > kMaxEchoes) waiting.pop_front();
}

void BridgeCore::FlushEchoes(const std::string& event) {
  auto it = echoes_.find(event);
  if (it == echoes_.end()) return;
  const std::deque<uint8_t> values = std::move(it->second);
  echoes_.erase(it);
  for (uint8_t v : values) Echo(event, v);
}

void BridgeCore::PublishStatus() {
  if (topics_) outbox_.State(topics_->Status(), RelayUp() ? kOnline : kOffline);
}

void BridgeCore::PublishServer() {
  if (options_.homeAssistant && topics_) {
    outbox_.State(homeAssistant_->ServerConfigTopic(), homeAssistant_->ServerConfig());
  }
}

void BridgeCore::Leaving() {
  if (topics_) outbox_.State(topics_->Status(), kOffline);
}

std::string BridgeCore::ValuePayload(uint8_t value, std::chrono::system_clock::time_point received) const {
  return options_.jsonValues ? Payloads::Value(value, received) : Payloads::Value(value);
}

}  // namespace toruna::bridge
