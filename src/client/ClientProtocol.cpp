#include "client/ClientProtocol.h"

#include "client/WireText.h"

namespace toruna::client {

namespace frames = protocol::frames;

ClientProtocol::ClientProtocol(SendFn send) : window_(std::move(send)) {}

void ClientProtocol::Start(const std::string& name) {
  if (started_) return;
  WireText::CheckClientName(name);
  name_ = name;
  started_ = true;
  window_.Send(frames::ClientInfoRequest(WireText::ToWire(name, "the client name")), true);
  // The server handles frames in order, so these count from the registration on.
  for (const auto& [handle, event] : own_) SendCreate(event);
  // An ID whose event was seen before waits for the roster to show it again.
  std::vector<int32_t> blind;
  for (int32_t id : wantedIds_) {
    if (wantedPaths_.count(id) == 0) blind.push_back(id);
  }
  for (int32_t id : blind) SendSubscribe(id, true);
}

void ClientProtocol::Disconnected() {
  started_ = false;
  ended_ = false;
  window_.Reset();
  subscribed_.clear();
  removeWhenCreated_.clear();  // removed by the user; gone with the connection
  const Roster gone = std::move(roster_);
  roster_ = Roster();
  std::vector<int32_t> heard;  // handles: a callback may remove an event
  for (auto& [handle, event] : own_) {
    if (event.hasSubscribers) heard.push_back(handle);
    event.id = 0;
    event.hasSubscribers = false;
  }
  // Callbacks may ask for more (that waits for the next Start), not destroy this.
  for (const auto& [id, client] : gone.Clients()) {
    std::vector<EventEntry> events;
    for (const auto& [eventId, event] : gone.Events()) {
      if (event.owner == id) events.push_back(event);
    }
    if (OnClientLeft) OnClientLeft(client, events);
  }
  for (int32_t handle : heard) {
    auto it = own_.find(handle);
    if (OnSubscribers && it != own_.end()) OnSubscribers(it->second);
  }
}

void ClientProtocol::HandleRegistered(const std::string& serverName) {
  if (OnRegistered) OnRegistered(serverName);
}

std::string ClientProtocol::PathOf(const EventEntry& event) const {
  return NamePatterns::EventPath(roster_.ClientName(event.owner), event.name);
}

void ClientProtocol::Subscribe(int32_t eventId) {
  wantedIds_.insert(eventId);
  auto known = roster_.Events().find(eventId);
  if (known != roster_.Events().end()) wantedPaths_[eventId] = PathOf(known->second);
  if (CanSend() && !IsSubscribed(eventId)) SendSubscribe(eventId, true);
}

void ClientProtocol::Unsubscribe(int32_t eventId) {
  wantedIds_.erase(eventId);
  wantedPaths_.erase(eventId);
  if (IsSubscribed(eventId)) SendSubscribe(eventId, false);
}

void ClientProtocol::Subscribe(const std::string& pattern) {
  patterns_.Add(pattern);
  std::vector<EventEntry> matching;
  for (const auto& [id, event] : roster_.Events()) {
    if (NamePatterns::Matches(pattern, PathOf(event))) matching.push_back(event);
  }
  for (const EventEntry& event : matching) SubscribeIfMatching(event);
}

void ClientProtocol::Unsubscribe(const std::string& pattern) {
  if (!patterns_.Remove(pattern)) return;
  std::vector<int32_t> unwanted;
  for (int32_t id : subscribed_) {
    auto it = roster_.Events().find(id);
    if (it == roster_.Events().end() || wantedIds_.count(id) != 0) continue;
    const std::string path = PathOf(it->second);
    if (NamePatterns::Matches(pattern, path) && !patterns_.Matches(path)) unwanted.push_back(id);
  }
  for (int32_t id : unwanted) SendSubscribe(id, false);
}

void ClientProtocol::SubscribeIfMatching(const EventEntry& event) {
  const std::string path = PathOf(event);
  bool wanted = false;
  if (wantedIds_.count(event.id) != 0) {
    auto seen = wantedPaths_.emplace(event.id, path).first;
    wanted = seen->second == path;
    if (!wanted) {
      // Another event holds the ID now (the server started again): the one
      // asked for is gone for good.
      wantedIds_.erase(event.id);
      wantedPaths_.erase(seen);
    }
  }
  if (CanSend() && !IsSubscribed(event.id) && (wanted || patterns_.Matches(path))) {
    SendSubscribe(event.id, true);
  }
}

void ClientProtocol::SendSubscribe(int32_t eventId, bool on) {
  if (!CanSend()) return;
  if (on) {
    subscribed_.insert(eventId);
  } else {
    subscribed_.erase(eventId);
  }
  window_.Send(frames::EventSubscribe(eventId, on ? 1 : 0));
  if (on && OnSubscribed) {
    auto it = roster_.Events().find(eventId);
    EventEntry unknown;
    unknown.id = eventId;
    OnSubscribed(it != roster_.Events().end() ? it->second : unknown);
  }
}

void ClientProtocol::Forget(int32_t eventId) {
  // The server drops the subscriptions of an event that is gone, and IDs are
  // never handed out again.
  subscribed_.erase(eventId);
  wantedIds_.erase(eventId);
  wantedPaths_.erase(eventId);
}

int32_t ClientProtocol::CreateEvent(const std::string& name, const std::string& unit,
                                    int16_t interval, int16_t max) {
  WireText::CheckEvent(name, unit);
  const int32_t handle = nextHandle_++;
  OwnEvent& event = own_[handle];
  event.handle = handle;
  event.name = name;
  event.unit = unit;
  event.interval = interval;
  event.max = max;
  if (CanSend()) SendCreate(event);
  return handle;
}

void ClientProtocol::SendCreate(const OwnEvent& event) {
  // The handle is the request ID, which the server's answer carries back.
  window_.Send(frames::EventInfoRequest(event.handle, event.interval, event.max,
                                        WireText::EventToWire(event.name, event.unit)),
               true);
}

bool ClientProtocol::RemoveEvent(int32_t handle) {
  auto it = own_.find(handle);
  if (it == own_.end()) return false;
  if (it->second.id != 0) {
    if (CanSend()) window_.Send(frames::EventRemove(it->second.id));
  } else if (started_) {
    removeWhenCreated_.insert(handle);  // asked for already: remove it once it exists
  }
  own_.erase(it);
  return true;
}

bool ClientProtocol::Publish(int32_t handle, uint8_t value) {
  auto it = own_.find(handle);
  if (it == own_.end() || it->second.id == 0 || !CanSend()) return false;
  window_.Send(frames::EventData(it->second.id, value));
  return true;
}

bool ClientProtocol::HasSubscribers(int32_t handle) const {
  const OwnEvent* event = FindOwnEvent(handle);
  return event != nullptr && event->hasSubscribers;
}

const OwnEvent* ClientProtocol::FindOwnEvent(int32_t handle) const {
  auto it = own_.find(handle);
  return it != own_.end() ? &it->second : nullptr;
}

OwnEvent* ClientProtocol::OwnById(int32_t eventId) {
  for (auto& [handle, event] : own_) {
    if (event.id == eventId && eventId != 0) return &event;
  }
  return nullptr;
}

void ClientProtocol::OnFrame(const protocol::FrameView& frame,
                             std::chrono::system_clock::time_point arrived) {
  // The answers to the window's round trips are nobody's subscriber notices.
  if (SendWindow::IsAnswer(frame)) {
    window_.Answered();
    return;
  }
  const bool wasRegistered = roster_.Complete();
  const RosterChange c = roster_.Apply(frame);
  // The registration's and the creations' answers confirm what was sent before.
  if (c.kind == ChangeKind::EventCreated || (c.kind == ChangeKind::ServerName && !wasRegistered)) {
    window_.Answered();
  }
  switch (c.kind) {
    case ChangeKind::ClientAdded:
      if (OnClientJoined) OnClientJoined(c.client);
      break;
    case ChangeKind::ClientGone:
      for (const EventEntry& e : c.eventsOfGone) Forget(e.id);
      if (OnClientLeft) OnClientLeft(c.client, c.eventsOfGone);
      break;
    case ChangeKind::EventAdded:
      if (OnEventAdded) OnEventAdded(c.event);
      SubscribeIfMatching(c.event);
      break;
    case ChangeKind::EventRemoved:
      Forget(c.event.id);
      if (OnEventRemoved) OnEventRemoved(c.event);
      break;
    case ChangeKind::Value:
      HandleValue(c, arrived);
      break;
    case ChangeKind::Subscribers:
      HandleSubscribers(c.event.id, c.value != 0);
      break;
    case ChangeKind::EventCreated:
      HandleCreated(c.requestId, c.event.id);
      break;
    case ChangeKind::ServerName:
      if (!wasRegistered) HandleRegistered(c.serverName);
      break;
    case ChangeKind::Ignored:
      break;
  }
}

void ClientProtocol::HandleValue(const RosterChange& c,
                                 std::chrono::system_clock::time_point arrived) {
  if (!OnValue) return;
  Value v;
  v.event = c.event;
  v.value = c.value;
  v.arrived = arrived;
  if (c.known) {
    v.client = roster_.ClientName(c.event.owner);
  } else if (const OwnEvent* own = OwnById(c.event.id)) {
    // Subscribed to an own event: the roster holds only the other clients.
    v.event.name = own->name;
    v.event.unit = own->unit;
    v.event.interval = own->interval;
    v.event.max = own->max;
    v.client = name_;
  }
  OnValue(v);
}

void ClientProtocol::HandleSubscribers(int32_t eventId, bool present) {
  OwnEvent* event = OwnById(eventId);
  // The server repeats "nobody listens" at every departure of any client; only
  // a change is news.
  if (event == nullptr || event->hasSubscribers == present) return;
  event->hasSubscribers = present;
  if (OnSubscribers) OnSubscribers(*event);
}

void ClientProtocol::HandleCreated(int32_t handle, int32_t eventId) {
  if (eventId == 0) return;
  if (removeWhenCreated_.erase(handle) != 0) {
    if (CanSend()) window_.Send(frames::EventRemove(eventId));
    return;
  }
  auto it = own_.find(handle);
  if (it == own_.end() || it->second.id != 0) return;  // not an answer to us, or a repeat
  it->second.id = eventId;
  if (OnEventReady) OnEventReady(it->second);
}

}  // namespace toruna::client
