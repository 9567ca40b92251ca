#pragma once
// One client's side of the conversation with a server, without I/O: it
// registers under a name, keeps the roster, subscribes by event ID and by
// "client/event" pattern (a pattern also takes the events announced after it),
// creates, removes and publishes its own events and follows whether each has a
// subscriber. Frames leave through the send function and come in through
// OnFrame, so tests drive it with frames; Connection puts it on a socket.
// What goes out is paced (SendWindow): a burst waits in a queue rather than
// overrun the server, and the round trips that pace it stay inside.
//
// Callbacks run synchronously from OnFrame (and from the calls that send); they
// may call back into this object, but must not destroy it.

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "client/NamePatterns.h"
#include "client/Roster.h"
#include "client/SendWindow.h"
#include "protocol/Frame.h"

namespace toruna::client {

// A value that arrived for an event.
struct Value {
  EventEntry event;    // owner 0 and an empty name when the event is not known
  std::string client;  // the owner's name; empty when the event is not known
  uint8_t value = 0;
  std::chrono::system_clock::time_point arrived;  // when its bytes were read
};

// An event this client created.
struct OwnEvent {
  int32_t handle = 0;  // what CreateEvent returned
  int32_t id = 0;      // the server's event ID; 0 until the server has created it
  std::string name;
  std::string unit;
  int16_t interval = 0;
  int16_t max = 255;
  bool hasSubscribers = false;
};

class ClientProtocol {
 public:
  using SendFn = std::function<void(const std::vector<uint8_t>&)>;

  explicit ClientProtocol(SendFn send);
  virtual ~ClientProtocol() = default;
  ClientProtocol(const ClientProtocol&) = delete;
  ClientProtocol& operator=(const ClientProtocol&) = delete;

  // The roster is complete: every client registered before this one and their
  // events have been reported. Once per connection (Connection reports a
  // registration after a reconnection through OnBack instead).
  std::function<void(const std::string& serverName)> OnRegistered;
  // A client, from the roster or newly registered (Registered() tells which).
  std::function<void(const ClientEntry&)> OnClientJoined;
  // A client left, with the events that went with it. A client that was not
  // in the roster is named "#" and its ID.
  std::function<void(const ClientEntry&, const std::vector<EventEntry>& events)> OnClientLeft;
  // Another client's event, from the roster or newly created.
  std::function<void(const EventEntry&)> OnEventAdded;
  // Its owner removed it (owner 0 and an empty name when it was not known).
  std::function<void(const EventEntry&)> OnEventRemoved;
  std::function<void(const Value&)> OnValue;
  // A subscribe request went out, by ID or for a pattern that matched.
  std::function<void(const EventEntry&)> OnSubscribed;
  // An own event was created by the server and can be published on.
  std::function<void(const OwnEvent&)> OnEventReady;
  // An own event got its first subscriber, or lost its last (hasSubscribers).
  std::function<void(const OwnEvent&)> OnSubscribers;

  // Registers under the name and sends what was asked for before (events to
  // create, subscriptions by ID). Connection calls it once connected.
  // Throws TextError for a name that cannot be sent; nothing goes out then.
  void Start(const std::string& name);
  bool Started() const { return started_; }
  // The server has sent the whole roster and its name.
  bool Registered() const { return roster_.Complete(); }
  const std::string& ServerName() const { return roster_.ServerName(); }
  // The other clients and their events.
  const Roster& State() const { return roster_; }
  // "client/event" for an event of the roster.
  std::string PathOf(const EventEntry& event) const;

  // Subscriptions. Asked before Start they go out with the registration, and
  // they are restored on a new connection: a pattern always, an ID once the
  // roster shows that event again (the same "client/event" it was; after a
  // server restart IDs start again, and an ID now naming another event is
  // dropped).
  void Subscribe(int32_t eventId);
  void Unsubscribe(int32_t eventId);
  // Subscribes to every known event whose "client/event" name matches, and to
  // each matching event announced later, until Unsubscribe(pattern), which
  // also unsubscribes from the events no other subscription wants.
  void Subscribe(const std::string& pattern);
  void Unsubscribe(const std::string& pattern);
  bool IsSubscribed(int32_t eventId) const { return subscribed_.count(eventId) != 0; }
  const std::set<int32_t>& Subscriptions() const { return subscribed_; }

  // Own events. CreateEvent returns a handle for the other calls: not the
  // server's event ID, but the request ID of the create request, which the
  // server's answer carries back. The event can be published on from
  // OnEventReady on.
  // Throws TextError for an empty name, or a name or unit that cannot be sent.
  int32_t CreateEvent(const std::string& name, const std::string& unit = "", int16_t interval = 0,
                      int16_t max = 255);
  // False for an unknown handle.
  bool RemoveEvent(int32_t handle);
  // Hands one value to the connection; false when the event is not created
  // yet, unknown, or the connection has ended. Publishing while nobody
  // listens is allowed; the server then drops the value. Values of a burst
  // wait in the send queue and leave in order.
  bool Publish(int32_t handle, uint8_t value);
  bool HasSubscribers(int32_t handle) const;
  // nullptr for an unknown handle.
  const OwnEvent* FindOwnEvent(int32_t handle) const;
  const std::map<int32_t, OwnEvent>& OwnEvents() const { return own_; }

  // One frame from the server, read at `arrived`.
  void OnFrame(const protocol::FrameView& frame,
               std::chrono::system_clock::time_point arrived = std::chrono::system_clock::now());
  // Bytes waiting in the send queue for room on the way to the server.
  size_t Queued() const { return window_.QueuedBytes(); }

 protected:
  // The connection is gone: nothing more goes out.
  void MarkEnded() { ended_ = true; }
  // The connection is gone and another may follow (Start again): the roster
  // empties (OnClientLeft for each client), own events wait to be created
  // again (OnSubscribers for each that had a subscriber), nothing is on the way
  // any more. What was asked for stays: own events, subscriptions by pattern
  // and by ID.
  void Disconnected();
  // The registration is complete; calls OnRegistered.
  virtual void HandleRegistered(const std::string& serverName);
  bool CanSend() const { return started_ && !ended_; }
  SendWindow& Window() { return window_; }

 private:
  void SendSubscribe(int32_t eventId, bool on);
  void SubscribeIfMatching(const EventEntry& event);
  void Forget(int32_t eventId);
  void SendCreate(const OwnEvent& event);
  OwnEvent* OwnById(int32_t eventId);
  void HandleValue(const RosterChange& c, std::chrono::system_clock::time_point arrived);
  void HandleSubscribers(int32_t eventId, bool present);
  void HandleCreated(int32_t handle, int32_t eventId);

  SendWindow window_;
  Roster roster_;
  std::string name_;
  bool started_ = false;
  bool ended_ = false;
  NamePatterns patterns_;
  std::set<int32_t> wantedIds_;   // asked for by ID
  std::map<int32_t, std::string> wantedPaths_;  // of those, "client/event" once seen
  std::set<int32_t> subscribed_;  // subscribe requests sent and not taken back
  std::map<int32_t, OwnEvent> own_;
  std::set<int32_t> removeWhenCreated_;  // handles removed while the server creates them
  int32_t nextHandle_ = 1;
};

}  // namespace toruna::client
