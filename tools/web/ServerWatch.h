#pragma once
// One server on the dashboard: the program's client connection to it, kept up
// with backoff; the events of its roster with what is known of their values;
// and subscriptions that follow the viewers. An event is subscribed to while
// at least one viewer watches its "client/event" name or --export names it,
// and unsubscribed once nobody has wanted it for a grace period (Sweep), so
// that a page reloaded or a second viewer arriving does not make the owner
// stop and start. Viewers count by name, not by event ID: an event that comes
// back (its owner reconnected, the server restarted) is watched again at once.
// With --allow-publish it also keeps the program's own events, created anew
// on every connection.
// This class owns its connection; it does not own the loop, the dispatcher or
// the listener.

#include <chrono>
#include <compare>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "ValueHistory.h"
#include "WebArguments.h"
#include "client/Connection.h"

namespace toruna::web {

struct EventPath {
  std::string client;
  std::string event;
  auto operator<=>(const EventPath&) const = default;
};

struct WatchedEvent {
  client::EventEntry entry;
  std::string client;  // the owner's name
  bool exported = false;
  int viewers = 0;
  bool subscribed = false;
  // Since when it has been subscribed without anybody wanting it.
  std::optional<std::chrono::steady_clock::time_point> idleSince;
  ValueHistory values;

  EventPath Path() const { return {client, entry.name}; }
  bool Wanted() const { return exported || viewers > 0; }
};

struct OwnEventState {
  std::string name;
  std::string unit;
  int16_t max = 255;
  int32_t handle = 0;  // on the current connection; 0 while there is none
  bool ready = false;
  bool subscribers = false;
  std::optional<uint8_t> last;
};

class ServerWatch {
 public:
  enum class State { Connecting, Connected, Lost };

  // What the dashboard's streams need to hear. Called from the loop; the
  // listener may call this object back but must not destroy it.
  class Listener {
   public:
    // State, name or number of clients.
    virtual void ServerChanged(ServerWatch& s) = 0;
    // The whole roster is new: registered (again), or gone with the connection.
    virtual void RosterReset(ServerWatch& s) = 0;
    virtual void ClientJoined(ServerWatch& s, const client::ClientEntry& c) = 0;
    virtual void ClientLeft(ServerWatch& s, const client::ClientEntry& c) = 0;
    virtual void EventAdded(ServerWatch& s, const WatchedEvent& e) = 0;
    virtual void EventRemoved(ServerWatch& s, const WatchedEvent& e) = 0;
    virtual void ValueArrived(ServerWatch& s, const WatchedEvent& e, const Sample& sample) = 0;
    virtual void OwnEventsChanged(ServerWatch& s) = 0;

   protected:
    ~Listener() = default;
  };

  using Say = std::function<void(const std::string&)>;

  ServerWatch(int id, net::modNetSocket& dispatcher, net::EventLoop& loop, const WebOptions& options,
              std::string host, Listener& listener, Say say);
  ~ServerWatch();
  ServerWatch(const ServerWatch&) = delete;
  ServerWatch& operator=(const ServerWatch&) = delete;

  void Start();
  // Leaves the server; nothing reconnects after.
  void Stop();
  // The address for the next attempt (a discovery found the server there).
  void Retarget(const std::string& host) { host_ = host; }

  int Id() const { return id_; }
  // Empty until the first registration.
  const std::string& Name() const { return name_; }
  const std::string& Host() const { return host_; }
  State GetState() const { return state_; }
  // Why the connection is not up, as a sentence; empty while it is.
  const std::string& Problem() const { return problem_; }
  // The other registered clients, while connected.
  std::vector<client::ClientEntry> Clients() const;
  const std::map<int32_t, WatchedEvent>& Events() const { return events_; }
  // Registrations so far, and values received on every connection.
  uint64_t Connections() const { return connections_; }
  uint64_t ValuesReceived() const { return valuesReceived_; }

  // Viewers of an event name; many viewers share one subscription.
  void AddViewer(const EventPath& path);
  void RemoveViewer(const EventPath& path);
  // Unsubscribes what nobody has wanted for `grace`.
  void Sweep(std::chrono::steady_clock::time_point now, std::chrono::milliseconds grace);
  size_t Subscriptions() const;

  // The program's own events, by name. CreateOwn throws client::TextError for
  // a name or unit that cannot be sent; it is a no-op for a name it has.
  void CreateOwn(const std::string& name, const std::string& unit, int16_t max);
  enum class Sent { Ok, Unknown, NotReady };
  Sent PublishOwn(const std::string& name, uint8_t value);
  bool RemoveOwn(const std::string& name);
  const std::map<std::string, OwnEventState>& OwnEvents() const { return own_; }

 private:
  void Open();
  void Retry(const std::string& why);
  void Registered(const std::string& serverName);
  void Ended(const client::Ending& ending);
  void Added(const client::EventEntry& e);
  void Removed(int32_t eventId);
  void Value(const client::Value& v);
  void OwnChanged(const client::OwnEvent& e);
  // Subscribes or marks idle as the event's viewers say.
  void Follow(WatchedEvent& e);
  bool Up() const { return conn_ && conn_->Registered() && !conn_->Ended(); }

  int id_;
  net::modNetSocket& dispatcher_;
  net::EventLoop& loop_;
  const WebOptions& options_;
  std::string host_;
  Listener& listener_;
  Say say_;

  std::unique_ptr<client::Connection> conn_;
  std::unique_ptr<client::Connection> retired_;  // ended inside its own callback
  std::optional<net::EventLoop::TimerId> retry_;
  std::chrono::milliseconds backoff_{0};
  bool stopping_ = false;
  State state_ = State::Connecting;
  std::string problem_;
  std::string name_;
  uint64_t connections_ = 0;
  uint64_t valuesReceived_ = 0;

  std::map<int32_t, WatchedEvent> events_;  // by event ID, on this connection
  std::map<EventPath, int> viewers_;
  std::map<std::string, OwnEventState> own_;
};

}  // namespace toruna::web

namespace toruna::web {

// The servers the program shows, in the order they were added; IDs from 1.
using ServerSet = std::vector<std::unique_ptr<ServerWatch>>;

inline ServerWatch* FindServer(const ServerSet& servers, int id) {
  for (const auto& s : servers) {
    if (s->Id() == id) return s.get();
  }
  return nullptr;
}

}  // namespace toruna::web
