#include "ServerBridge.h"

#include "client/WireText.h"

namespace toruna::bridge {

namespace {

constexpr auto kDiscoveryWait = std::chrono::seconds(1);
constexpr const char* kOnline = "online";
constexpr const char* kOffline = "offline";

std::string Quoted(const std::string& name) { return "\"" + name + "\""; }

std::string Count(size_t n, const std::string& what) {
  return std::to_string(n) + " " + what + (n == 1 ? "" : "s");
}

}  // namespace

ServerBridge::ServerBridge(net::modNetSocket& dispatcher, loop::EventLoop& loop,
                           const BridgeOptions& options, std::string host, bool rediscover,
                           std::string localHost, Say say)
    : dispatcher_(dispatcher),
      loop_(loop),
      options_(options),
      patterns_(options.patterns.empty() ? std::vector<std::string>{"*"} : options.patterns),
      host_(std::move(host)),
      rediscover_(rediscover),
      localHost_(std::move(localHost)),
      say_(std::move(say)),
      own_(say_) {}

ServerBridge::~ServerBridge() {
  if (relayRetry_) loop_.CancelTimer(*relayRetry_);
  if (discoveryTimer_) loop_.CancelTimer(*discoveryTimer_);
}

void ServerBridge::Start() { ConnectRelay(); }

// The server side.

void ServerBridge::ConnectRelay() {
  if (stopping_) return;
  if (rediscover_ && attempted_ && !serverName_.empty()) {
    Discover();
  } else {
    OpenRelay(host_);
  }
  attempted_ = true;
}

void ServerBridge::Discover() {
  discovery_ = std::make_unique<client::Discovery>(dispatcher_);
  discovery_->OnServer = [this](const client::FoundServer& s) {
    if (!discovery_ || s.name != serverName_) return;
    const std::string address = s.address;
    // Not destroyed inside its own callback: the end of the batch does it.
    loop_.Defer([this, alive = std::weak_ptr<int>(alive_), address] {
      if (alive.expired() || !discovery_) return;
      discovery_.reset();
      loop_.CancelTimer(*discoveryTimer_);
      discoveryTimer_.reset();
      OpenRelay(address);
    });
  };
  discovery_->OnError = [this](const std::string& destination, const std::string& reason) {
    say_("cannot ask " + destination + " for servers: " + reason);
  };
  discovery_->Start();
  discoveryTimer_ = loop_.RunAfter(kDiscoveryWait, [this] {
    discoveryTimer_.reset();
    discovery_.reset();
    RetryRelay("server " + Quoted(serverName_) + " did not answer the discovery");
  });
}

void ServerBridge::OpenRelay(const std::string& host) {
  host_ = host;
  retired_.reset();
  conn_ = std::make_unique<client::Connection>(dispatcher_, loop_);
  client::Connection& c = *conn_;
  c.OnRegistered = [this](const std::string& name) { Registered(name); };
  c.OnEventAdded = [this](const client::EventEntry& e) {
    if (!client::NamePatterns(patterns_).Matches(conn_->PathOf(e))) return;
    Appeared({e.id, conn_->State().ClientName(e.owner), e.owner, e.name, e.unit, e.interval, e.max});
  };
  c.OnEventRemoved = [this](const client::EventEntry& e) { Gone(e.id); };
  c.OnClientLeft = [this](const client::ClientEntry&, const std::vector<client::EventEntry>& events) {
    for (const client::EventEntry& e : events) Gone(e.id);
  };
  c.OnValue = [this](const client::Value& v) { ForwardValue(v); };
  c.OnEventReady = [this](const client::OwnEvent& e) { OwnReady(e); };
  c.OnSubscribers = [this](const client::OwnEvent& e) { own_.Changed(e); };
  c.OnEnded = [this](const client::Ending& e) { RelayEnded(e); };
  own_.Attach(&c);
  if (mqtt_ && mqtt_->Connected()) SubscribeRelay(true);
  c.Open(host, options_.name);
}

void ServerBridge::RetryRelay(const std::string& why) {
  if (stopping_) return;
  const auto wait = relayBackoff_.Next();
  say_(why + "; trying again in " + Backoff::Say(wait));
  relayRetry_ = loop_.RunAfter(wait, [this] {
    relayRetry_.reset();
    ConnectRelay();
  });
}

void ServerBridge::Registered(const std::string& serverName) {
  relayBackoff_.Reset();
  say_("connected to server " + Quoted(serverName) + " on " + host_ + " as " + options_.name + " (" +
       Count(conn_->State().Clients().size(), "client") + ", " +
       Count(conn_->State().Events().size(), "event") + ")");
  if (everRegistered_ && serverName != serverName_) {
    // Renamed: what is kept under the former name is stale, and the will
    // belongs to it. That link says so and leaves; a new one takes over.
    say_("the server was called " + Quoted(serverName_) + " before; moving its topics");
    if (mqtt_) {
      for (const std::string& topic : std::set<std::string>(retained_)) {
        if (auto path = topics_->ParseMeta(topic)) Clear(*path);
      }
      Publish(topics_->Status(), kOffline, true);
      mqtt_->OnConnected = nullptr;
      mqtt_->OnDown = nullptr;
      mqtt_->OnMessage = nullptr;
      MqttLink* leaving = mqtt_.get();
      leaving_.push_back(std::move(mqtt_));
      leaving->Close([this, leaving, alive = std::weak_ptr<int>(alive_)] {
        loop_.Defer([this, leaving, alive] {
          if (alive.expired()) return;
          std::erase_if(leaving_, [&](const auto& l) { return l.get() == leaving; });
        });
      });
    }
    retained_.clear();
  }
  everRegistered_ = true;
  if (serverName != serverName_ || !topics_) {
    serverName_ = serverName;
    topics_ = std::make_unique<TopicNames>(options_.prefix, serverName_);
    homeAssistant_ = std::make_unique<HomeAssistant>(options_.discoveryPrefix, serverName_, *topics_);
  }
  byMeta_.clear();
  for (const auto& [id, e] : events_) byMeta_[topics_->Meta(e.client, e.name)].push_back(id);
  if (!mqtt_) {
    StartBroker();
    return;
  }
  if (!mqtt_->Connected()) return;
  for (const auto& [id, e] : events_) PublishEvent(e);
  Reconcile();
  PublishStatus();
}

void ServerBridge::RelayEnded(const client::Ending& ending) {
  const bool wasUp = conn_->Registered();
  retired_ = std::move(conn_);
  own_.Attach(nullptr);
  // What the bridge published stays retained while the server is away: the
  // status says it is stale, and the next roster settles it.
  events_.clear();
  byMeta_.clear();
  if (stopping_) return;
  PublishStatus();
  RetryRelay(wasUp ? "lost server " + Quoted(serverName_) + ": " + ending.message
                   : "no connection to the server: " + ending.message);
}

void ServerBridge::SubscribeRelay(bool on) {
  if (!conn_) return;
  for (const std::string& p : patterns_) {
    if (on) {
      conn_->Subscribe(p);
    } else {
      conn_->Unsubscribe(p);
    }
  }
}

// Events and values.

void ServerBridge::Appeared(const BridgedEvent& e) {
  events_[e.id] = e;
  if (!topics_) return;  // the roster is still coming; Registered publishes it
  byMeta_[topics_->Meta(e.client, e.name)].push_back(e.id);
  if (RelayUp()) PublishEvent(e);
}

void ServerBridge::Gone(int32_t eventId) {
  auto it = events_.find(eventId);
  if (it == events_.end()) return;
  const BridgedEvent e = it->second;
  events_.erase(it);
  if (!topics_) return;
  const std::string meta = topics_->Meta(e.client, e.name);
  auto& ids = byMeta_[meta];
  std::erase(ids, eventId);
  if (!ids.empty()) {
    // Another event of the same names remains: it keeps the topic.
    PublishEvent(events_.at(ids.back()));
    return;
  }
  byMeta_.erase(meta);
  Clear({e.client, e.name});
}

void ServerBridge::ForwardValue(const client::Value& v) {
  auto it = events_.find(v.event.id);
  if (it == events_.end() || !topics_) return;
  Publish(topics_->Value(it->second.client, it->second.name), Payloads::Value(v.value),
          options_.retainValues);
}

void ServerBridge::OwnReady(const client::OwnEvent& e) {
  Appeared({e.id, options_.name, std::nullopt, e.name, e.unit, e.interval, e.max});
  own_.Changed(e);
}

// The broker side.

void ServerBridge::StartBroker() {
  MqttSettings s = options_.mqtt;
  const std::string server = HomeAssistant::Slug(serverName_, 40);
  if (s.clientId.empty()) {
    s.clientId = "toruna-bridge-" + HomeAssistant::Slug(localHost_, 40) + "-" + server;
  } else if (options_.discover == DiscoverMode::Every) {
    s.clientId += "-" + server;  // one connection per server, each needs its own ID
  }
  s.willTopic = topics_->Status();
  s.willPayload = kOffline;
  try {
    mqtt_ = std::make_unique<MqttLink>(loop_, s);
  } catch (const MqttError& e) {
    // The settings were tried at start; only the will, made of the server's
    // name, is new here.
    say_("cannot bridge " + Quoted(serverName_) + ": " + e.what());
    return;
  }
  mqtt_->OnConnected = [this] { BrokerConnected(); };
  mqtt_->OnDown = [this](const std::string& why, std::chrono::milliseconds retryIn) { BrokerDown(why, retryIn); };
  mqtt_->OnMessage = [this](const std::string& topic, std::string_view payload, bool) {
    BrokerMessage(topic, payload);
  };
  mqtt_->Start();
}

void ServerBridge::BrokerConnected() {
  say_("connected to the broker at " + mqtt_->Where() + "; " + Quoted(serverName_) + " is under " +
       topics_->Base() + "/");
  mqtt_->Subscribe(topics_->MetaFilter());
  if (options_.acceptSet) mqtt_->Subscribe(topics_->SetFilter(options_.name));
  PublishStatus();
  if (RelayUp()) {
    for (const auto& [id, e] : events_) PublishEvent(e);
  }
  // Only now: values that came before would have had nowhere to go.
  SubscribeRelay(true);
}

void ServerBridge::BrokerDown(const std::string& why, std::chrono::milliseconds retryIn) {
  SubscribeRelay(false);
  say_("no connection to the broker at " + mqtt_->Where() + ": " + why + "; trying again in " +
       Backoff::Say(retryIn));
}

void ServerBridge::BrokerMessage(const std::string& topic, std::string_view payload) {
  if (options_.acceptSet && topic.ends_with("/set")) {
    if (auto event = topics_->ParseSet(topic, options_.name)) {
      TakeSet(topic, *event, payload);
    } else {
      say_("ignored " + topic + ": not an event name ('%' must be followed by two hex digits)");
    }
    return;
  }
  if (!topics_->ParseMeta(topic)) return;
  if (payload.empty()) {
    retained_.erase(topic);
    return;
  }
  retained_.insert(topic);
  if (RelayUp() && byMeta_.count(topic) == 0) Stale(topic);
}

void ServerBridge::TakeSet(const std::string& topic, const std::string& event, std::string_view payload) {
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
  // The event's own topic carries its value, as for every other event.
  Publish(topics_->Value(options_.name, event), Payloads::Value(*value), options_.retainValues);
}

void ServerBridge::Publish(const std::string& topic, std::string_view payload, bool retain) {
  if (mqtt_) mqtt_->Publish(topic, payload, retain);
}

void ServerBridge::PublishEvent(const BridgedEvent& e) {
  if (!mqtt_ || !mqtt_->Connected()) return;
  const std::string meta = topics_->Meta(e.client, e.name);
  Publish(meta, Payloads::Meta(e), true);
  retained_.insert(meta);
  if (options_.homeAssistant) {
    const bool own = IsOwn(e.client);
    Publish(homeAssistant_->ConfigTopic(e, own), homeAssistant_->Config(e, own), true);
  }
}

void ServerBridge::PublishStatus() {
  if (topics_) Publish(topics_->Status(), RelayUp() ? kOnline : kOffline, true);
}

void ServerBridge::Clear(const TopicNames::EventPath& path) {
  const std::string meta = topics_->Meta(path.client, path.event);
  Publish(meta, "", true);
  retained_.erase(meta);
  if (options_.retainValues) Publish(topics_->Value(path.client, path.event), "", true);
  if (options_.homeAssistant) {
    BridgedEvent e;
    e.client = path.client;
    e.name = path.event;
    Publish(homeAssistant_->ConfigTopic(e, IsOwn(e.client)), "", true);
  }
}

void ServerBridge::Stale(const std::string& metaTopic) {
  const auto path = topics_->ParseMeta(metaTopic);
  if (!path) return;
  if (options_.acceptSet && IsOwn(path->client)) {
    try {
      if (own_.Ensure(path->event)) return;
    } catch (const client::TextError&) {
      // Not a name the server takes: cleared below.
    }
  }
  Clear(*path);
}

void ServerBridge::Reconcile() {
  const std::set<std::string> held = retained_;
  for (const std::string& topic : held) {
    if (byMeta_.count(topic) == 0) Stale(topic);
  }
}

void ServerBridge::Stop(std::function<void()> done) {
  stopping_ = true;
  if (relayRetry_) {
    loop_.CancelTimer(*relayRetry_);
    relayRetry_.reset();
  }
  if (discoveryTimer_) {
    loop_.CancelTimer(*discoveryTimer_);
    discoveryTimer_.reset();
  }
  discovery_.reset();
  own_.Attach(nullptr);
  if (conn_) conn_->Close();
  if (!mqtt_) {
    loop_.Defer(std::move(done));
    return;
  }
  if (topics_) Publish(topics_->Status(), kOffline, true);
  mqtt_->Close(std::move(done));
}

}  // namespace toruna::bridge
