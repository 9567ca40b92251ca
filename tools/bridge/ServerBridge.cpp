#include "ServerBridge.h"

#include <algorithm>

#include "HomeAssistant.h"

namespace toruna::bridge {

namespace {

constexpr auto kDiscoveryWait = std::chrono::seconds(1);
constexpr auto kTick = std::chrono::seconds(1);

std::string Quoted(const std::string& name) { return "\"" + name + "\""; }

std::string Count(size_t n, const std::string& what) {
  return std::to_string(n) + " " + what + (n == 1 ? "" : "s");
}

}  // namespace

ServerBridge::ServerBridge(net::modNetSocket& dispatcher, net::EventLoop& loop,
                           const BridgeOptions& options, std::string host, bool rediscover,
                           std::string localHost, Say say)
    : dispatcher_(dispatcher),
      loop_(loop),
      options_(options),
      host_(std::move(host)),
      rediscover_(rediscover),
      localHost_(std::move(localHost)),
      say_(std::move(say)),
      core_(options_, noBroker_, say_) {}

ServerBridge::~ServerBridge() {
  for (auto* t : {&relayRetry_, &discoveryTimer_, &tick_}) {
    if (*t) loop_.CancelTimer(**t);
  }
}

void ServerBridge::Start() {
  tick_ = loop_.AddTimer(kTick, [this] { Tick(); });
  ConnectRelay();
}

void ServerBridge::Tick() { core_.Tick(BridgeCore::Clock::now()); }

// The server side.

void ServerBridge::ConnectRelay() {
  if (stopping_) return;
  if (rediscover_ && attempted_ && !core_.ServerName().empty()) {
    Discover();
  } else {
    OpenRelay(host_);
  }
  attempted_ = true;
}

void ServerBridge::Discover() {
  discovery_ = std::make_unique<client::Discovery>(dispatcher_);
  discovery_->OnServer = [this](const client::FoundServer& s) {
    if (!discovery_ || s.name != core_.ServerName()) return;
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
  discoveryTimer_ = loop_.AddTimer(kDiscoveryWait, [this] {
    loop_.CancelTimer(*discoveryTimer_);
    discoveryTimer_.reset();
    discovery_.reset();
    RetryRelay("server " + Quoted(core_.ServerName()) + " did not answer the discovery");
  });
}

void ServerBridge::OpenRelay(const std::string& host) {
  host_ = host;
  retired_.reset();
  conn_ = std::make_unique<client::Connection>(dispatcher_, loop_);
  client::Connection& c = *conn_;
  c.OnRegistered = [this](const std::string& name) { Registered(name); };
  c.OnEventAdded = [this](const client::EventEntry& e) { core_.EventAdded(e); };
  c.OnEventRemoved = [this](const client::EventEntry& e) { core_.EventRemoved(e); };
  c.OnClientLeft = [this](const client::ClientEntry&, const std::vector<client::EventEntry>& events) {
    core_.ClientLeft(events);
  };
  c.OnValue = [this](const client::Value& v) { core_.ValueArrived(v, std::chrono::system_clock::now()); };
  c.OnEventReady = [this](const client::OwnEvent& e) { core_.OwnReady(e); };
  c.OnSubscribers = [this](const client::OwnEvent& e) { core_.OwnSubscribers(e); };
  c.OnEnded = [this](const client::Ending& e) { RelayEnded(e); };
  core_.Attach(&c);
  c.Open(host, options_.name);
}

void ServerBridge::RetryRelay(const std::string& why) {
  if (stopping_) return;
  const auto wait = relayBackoff_.Next();
  say_(why + "; trying again in " + Backoff::Say(wait));
  relayRetry_ = loop_.AddTimer(wait, [this] {
    loop_.CancelTimer(*relayRetry_);
    relayRetry_.reset();
    ConnectRelay();
  });
}

void ServerBridge::Registered(const std::string& serverName) {
  relayBackoff_.Reset();
  say_("connected to server " + Quoted(serverName) + " on " + host_ + " as " + options_.name + " (" +
       Count(conn_->State().Clients().size(), "client") + ", " +
       Count(conn_->State().Events().size(), "event") + ")");
  const bool sameName = core_.Registered();
  if (sameName && mqtt_) return;
  if (mqtt_) {
    // Renamed: the will belongs to the former name. That link leaves once the
    // broker has what it was handed; a new one takes over the rest.
    mqtt_->OnConnected = nullptr;
    mqtt_->OnDown = nullptr;
    mqtt_->OnMessage = nullptr;
    mqtt_->OnConfirmed = nullptr;
    MqttLink* leaving = mqtt_.get();
    leaving_.push_back(std::move(mqtt_));
    core_.SetPort(noBroker_);
    leaving->Close([this, leaving, alive = std::weak_ptr<int>(alive_)] {
      loop_.Defer([this, leaving, alive] {
        if (alive.expired()) return;
        std::erase_if(leaving_, [&](const auto& l) { return l.get() == leaving; });
      });
    });
  }
  StartBroker();
}

void ServerBridge::RelayEnded(const client::Ending& ending) {
  const bool wasUp = conn_->Registered();
  retired_ = std::move(conn_);
  core_.RelayEnded();
  if (stopping_) return;
  RetryRelay(wasUp ? "lost server " + Quoted(core_.ServerName()) + ": " + ending.message
                   : "no connection to the server: " + ending.message);
}

// The broker side.

void ServerBridge::StartBroker() {
  MqttSettings s = options_.mqtt;
  const std::string server = HomeAssistant::Slug(core_.ServerName(), 40);
  if (s.clientId.empty()) {
    s.clientId = "toruna-bridge-" + HomeAssistant::Slug(localHost_, 40) + "-" + server;
  } else if (options_.discover == DiscoverMode::Every) {
    s.clientId += "-" + server;  // one connection per server, each needs its own ID
  }
  s.willTopic = core_.StatusTopic();
  s.willPayload = "offline";
  try {
    mqtt_ = std::make_unique<MqttLink>(loop_, s);
  } catch (const MqttError& e) {
    // The settings were tried at start; only the will, made of the server's
    // name, is new here.
    say_("cannot bridge " + Quoted(core_.ServerName()) + ": " + e.what());
    return;
  }
  WireBroker(*mqtt_);
  core_.SetPort(*mqtt_);
  mqtt_->Start();
}

void ServerBridge::WireBroker(MqttLink& link) {
  link.OnConnected = [this] { BrokerConnected(); };
  link.OnDown = [this](const MqttDown& down) { BrokerDown(down); };
  link.OnConfirmed = [this](MqttPort::Ticket t) { core_.Confirmed(t); };
  link.OnMessage = [this](const std::string& topic, std::string_view payload, bool retained) {
    core_.BrokerMessage(topic, payload, retained);
  };
}

void ServerBridge::BrokerConnected() {
  say_("connected to the broker at " + mqtt_->Where() + "; " + Quoted(core_.ServerName()) + " is under " +
       core_.Base() + "/");
  core_.BrokerConnected();
}

void ServerBridge::BrokerDown(const MqttDown& down) {
  core_.BrokerDown(down.abrupt);
  std::string why = down.why;
  const std::string will = core_.StatusTopic();
  if (down.atConnect && options_.profile == BrokerProfile::Standard &&
      will.find_first_of(" .") != std::string::npos) {
    why += " (it may refuse the will's topic " + will + ": NATS takes no ' ' or '.' in topics; see " +
           "--broker-profile nats)";
  }
  say_("no connection to the broker at " + mqtt_->Where() + ": " + why + "; trying again in " +
       Backoff::Say(down.retryIn));
}

void ServerBridge::Stop(std::function<void()> done) {
  stopping_ = true;
  for (auto* t : {&relayRetry_, &discoveryTimer_}) {
    if (*t) loop_.CancelTimer(**t);
    t->reset();
  }
  discovery_.reset();
  core_.Attach(nullptr);
  if (conn_) conn_->Close();
  if (!mqtt_) {
    loop_.Defer(std::move(done));
    return;
  }
  core_.Leaving();
  mqtt_->Close(std::move(done));
}

}  // namespace toruna::bridge
