#include "ServerWatch.h"

#include <algorithm>

#include "client/NamePatterns.h"
#include "client/WireText.h"

namespace toruna::web {

namespace {

using std::chrono::milliseconds;

// Waits between attempts: half a second, doubling up to ten, so that a page
// shows a restarted server again within seconds.
constexpr milliseconds kFirstRetry{500};
constexpr milliseconds kLongestRetry{10000};

Millis Now() {
  return std::chrono::duration_cast<milliseconds>(std::chrono::system_clock::now().time_since_epoch()).count();
}

std::string Seconds(milliseconds wait) {
  const auto tenths = wait.count() / 100;
  return std::to_string(tenths / 10) + (tenths % 10 != 0 ? "." + std::to_string(tenths % 10) : "") + " s";
}

std::string Count(size_t n, const std::string& what) {
  return std::to_string(n) + " " + what + (n == 1 ? "" : "s");
}

}  // namespace

ServerWatch::ServerWatch(int id, net::modNetSocket& dispatcher, net::EventLoop& loop, const WebOptions& options,
                         std::string host, Listener& listener, Say say)
    : id_(id),
      dispatcher_(dispatcher),
      loop_(loop),
      options_(options),
      host_(std::move(host)),
      listener_(listener),
      say_(std::move(say)) {}

ServerWatch::~ServerWatch() {
  if (retry_) loop_.CancelTimer(*retry_);
}

void ServerWatch::Start() { Open(); }

void ServerWatch::Stop() {
  stopping_ = true;
  if (retry_) {
    loop_.CancelTimer(*retry_);
    retry_.reset();
  }
  if (conn_) conn_->Close();
}

std::vector<client::ClientEntry> ServerWatch::Clients() const {
  std::vector<client::ClientEntry> out;
  if (!Up()) return out;
  for (const auto& [id, c] : conn_->State().Clients()) out.push_back(c);
  return out;
}

void ServerWatch::Open() {
  retired_.reset();
  conn_ = std::make_unique<client::Connection>(dispatcher_, loop_);
  client::Connection& c = *conn_;
  c.OnRegistered = [this](const std::string& name) { Registered(name); };
  c.OnClientJoined = [this](const client::ClientEntry& e) {
    if (!conn_->Registered()) return;  // the roster arrives whole: Registered reports it
    listener_.ClientJoined(*this, e);
    listener_.ServerChanged(*this);
  };
  c.OnClientLeft = [this](const client::ClientEntry& e, const std::vector<client::EventEntry>& events) {
    for (const client::EventEntry& ev : events) Removed(ev.id);
    listener_.ClientLeft(*this, e);
    listener_.ServerChanged(*this);
  };
  c.OnEventAdded = [this](const client::EventEntry& e) { Added(e); };
  c.OnEventRemoved = [this](const client::EventEntry& e) { Removed(e.id); };
  c.OnValue = [this](const client::Value& v) { Value(v); };
  c.OnEventReady = [this](const client::OwnEvent& e) { OwnChanged(e); };
  c.OnSubscribers = [this](const client::OwnEvent& e) { OwnChanged(e); };
  c.OnEnded = [this](const client::Ending& e) { Ended(e); };
  // Asked before Open, they go out with the registration.
  for (auto& [name, own] : own_) {
    own.handle = c.CreateEvent(own.name, own.unit, 0, own.max);
    own.ready = false;
    own.subscribers = false;
  }
  state_ = State::Connecting;
  listener_.ServerChanged(*this);
  // A failure may be reported before Open returns; conn_ is gone then.
  c.Open(host_, options_.name);
}

void ServerWatch::Retry(const std::string& why) {
  if (stopping_) return;
  backoff_ = backoff_ == milliseconds(0) ? kFirstRetry : std::min(backoff_ * 2, kLongestRetry);
  say_(why + "; trying again in " + Seconds(backoff_));
  retry_ = loop_.AddTimer(backoff_, [this] {
    loop_.CancelTimer(*retry_);
    retry_.reset();
    Open();
  });
}

void ServerWatch::Registered(const std::string& serverName) {
  backoff_ = milliseconds(0);
  name_ = serverName;
  state_ = State::Connected;
  problem_.clear();
  ++connections_;
  say_("connected to server \"" + name_ + "\" on " + host_ + " as " + options_.name + " (" +
       Count(conn_->State().Clients().size(), "client") + ", " + Count(events_.size(), "event") + ")");
  listener_.ServerChanged(*this);
  listener_.RosterReset(*this);
}

void ServerWatch::Ended(const client::Ending& ending) {
  const bool wasUp = conn_->Registered();
  retired_ = std::move(conn_);
  events_.clear();
  for (auto& [name, own] : own_) {
    own.handle = 0;
    own.ready = false;
    own.subscribers = false;
  }
  state_ = State::Lost;
  problem_ = ending.message;
  listener_.ServerChanged(*this);
  if (wasUp) listener_.RosterReset(*this);
  if (!own_.empty()) listener_.OwnEventsChanged(*this);
  Retry(wasUp ? "lost server \"" + name_ + "\": " + ending.message : "no connection to " + host_ + ": " + ending.message);
}

void ServerWatch::Added(const client::EventEntry& e) {
  WatchedEvent& w = events_[e.id];
  w.entry = e;
  w.client = conn_->State().ClientName(e.owner);
  w.exported = client::NamePatterns(options_.exports).Matches(client::NamePatterns::EventPath(w.client, e.name));
  auto v = viewers_.find(w.Path());
  w.viewers = v != viewers_.end() ? v->second : 0;
  Follow(w);
  if (conn_->Registered()) listener_.EventAdded(*this, w);
}

void ServerWatch::Removed(int32_t eventId) {
  auto it = events_.find(eventId);
  if (it == events_.end()) return;
  const WatchedEvent gone = std::move(it->second);
  events_.erase(it);
  listener_.EventRemoved(*this, gone);
}

void ServerWatch::Value(const client::Value& v) {
  auto it = events_.find(v.event.id);
  if (it == events_.end()) return;
  ++valuesReceived_;
  it->second.values.Add(Now(), v.value);
  listener_.ValueArrived(*this, it->second, it->second.values.Last());
}

void ServerWatch::Follow(WatchedEvent& e) {
  if (e.Wanted()) {
    e.idleSince.reset();
    if (!e.subscribed && conn_ && !conn_->Ended()) {
      conn_->Subscribe(e.entry.id);
      e.subscribed = true;
    }
  } else if (e.subscribed && !e.idleSince) {
    e.idleSince = std::chrono::steady_clock::now();
  }
}

void ServerWatch::AddViewer(const EventPath& path) {
  ++viewers_[path];
  for (auto& [id, e] : events_) {
    if (e.Path() != path) continue;
    ++e.viewers;
    Follow(e);
  }
}

void ServerWatch::RemoveViewer(const EventPath& path) {
  auto v = viewers_.find(path);
  if (v == viewers_.end()) return;
  if (--v->second == 0) viewers_.erase(v);
  for (auto& [id, e] : events_) {
    if (e.Path() != path || e.viewers == 0) continue;
    --e.viewers;
    Follow(e);
  }
}

void ServerWatch::Sweep(std::chrono::steady_clock::time_point now, milliseconds grace) {
  for (auto& [id, e] : events_) {
    if (!e.subscribed || e.Wanted() || !e.idleSince || now - *e.idleSince < grace) continue;
    if (conn_) conn_->Unsubscribe(id);
    e.subscribed = false;
    e.idleSince.reset();
    e.values.Forget();
  }
}

size_t ServerWatch::Subscriptions() const {
  return static_cast<size_t>(std::count_if(events_.begin(), events_.end(), [](const auto& e) { return e.second.subscribed; }));
}

void ServerWatch::CreateOwn(const std::string& name, const std::string& unit, int16_t max) {
  client::WireText::CheckEvent(name, unit);
  if (own_.count(name) != 0) return;
  OwnEventState& own = own_[name];
  own.name = name;
  own.unit = unit;
  own.max = max;
  if (conn_ && !conn_->Ended()) own.handle = conn_->CreateEvent(name, unit, 0, max);
  listener_.OwnEventsChanged(*this);
}

ServerWatch::Sent ServerWatch::PublishOwn(const std::string& name, uint8_t value) {
  auto it = own_.find(name);
  if (it == own_.end()) return Sent::Unknown;
  OwnEventState& own = it->second;
  if (!conn_ || own.handle == 0 || !conn_->Publish(own.handle, value)) return Sent::NotReady;
  own.last = value;
  return Sent::Ok;
}

bool ServerWatch::RemoveOwn(const std::string& name) {
  auto it = own_.find(name);
  if (it == own_.end()) return false;
  if (conn_ && it->second.handle != 0) conn_->RemoveEvent(it->second.handle);
  own_.erase(it);
  listener_.OwnEventsChanged(*this);
  return true;
}

void ServerWatch::OwnChanged(const client::OwnEvent& e) {
  for (auto& [name, own] : own_) {
    if (own.handle != e.handle) continue;
    own.ready = e.id != 0;
    own.subscribers = e.hasSubscribers;
    listener_.OwnEventsChanged(*this);
    return;
  }
}

}  // namespace toruna::web
