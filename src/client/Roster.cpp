#include "client/Roster.h"

#include "client/WireText.h"

namespace toruna::client {

using protocol::FrameView;

std::string Roster::ClientName(int32_t id) const {
  auto it = clients_.find(id);
  return it != clients_.end() ? it->second.name : "#" + std::to_string(id);
}

RosterChange Roster::Apply(const FrameView& frame) {
  RosterChange c;
  c.type = frame.Type();
  const int16_t length = frame.Length();
  auto at32 = [&](size_t offset) { return frame.Int32At(offset).value_or(0); };
  auto event = [&](int32_t id) {
    auto it = events_.find(id);
    c.known = it != events_.end();
    if (c.known) c.event = it->second;
    c.event.id = id;
  };

  switch (c.type) {
    case protocol::EventData:
    case protocol::EventSubscribe:  // the same layout: event ID, then one byte
      if (length < 6) break;
      event(at32(4));
      c.value = frame.ByteAt(8).value_or(0);
      c.kind = c.type == protocol::EventData ? ChangeKind::Value : ChangeKind::Subscribers;
      break;
    case protocol::ClientInfo:
      if (length < 5) break;
      c.client.id = at32(4);
      c.client.name = WireText::FromWire(frame.BytesFrom(8));
      c.known = clients_.count(c.client.id) != 0;
      clients_[c.client.id] = c.client;
      c.kind = ChangeKind::ClientAdded;
      break;
    case protocol::ClientGone: {
      if (length < 5) break;
      const int32_t id = at32(4);
      auto it = clients_.find(id);
      c.known = it != clients_.end();
      c.client = c.known ? it->second : ClientEntry{id, ClientName(id)};
      if (c.known) clients_.erase(it);
      for (auto e = events_.begin(); e != events_.end();) {
        if (e->second.owner == id) {
          c.eventsOfGone.push_back(e->second);
          e = events_.erase(e);
        } else {
          ++e;
        }
      }
      c.kind = ChangeKind::ClientGone;
      break;
    }
    case protocol::EventInfo: {
      if (length < 13) break;
      c.event.owner = at32(4);
      c.event.id = at32(8);
      c.event.interval = frame.Int16At(12).value_or(0);
      c.event.max = frame.Int16At(14).value_or(0);
      EventText text = WireText::EventFromWire(frame.BytesFrom(16));
      c.event.name = std::move(text.name);
      c.event.unit = std::move(text.unit);
      c.known = events_.count(c.event.id) != 0;
      events_[c.event.id] = c.event;
      c.client = ClientEntry{c.event.owner, ClientName(c.event.owner)};
      c.kind = ChangeKind::EventAdded;
      break;
    }
    case protocol::EventRemove: {
      if (length < 5) break;
      event(at32(4));
      events_.erase(c.event.id);
      c.kind = ChangeKind::EventRemoved;
      break;
    }
    case protocol::EventCreated:
      if (length < 9) break;
      c.requestId = at32(4);
      c.event.id = at32(8);
      c.kind = ChangeKind::EventCreated;
      break;
    case protocol::ServerInfo:
      if (length < 1) break;
      c.serverName = WireText::FromWire(frame.BytesFrom(4));
      serverName_ = c.serverName;
      complete_ = true;
      c.kind = ChangeKind::ServerName;
      break;
    default:
      break;
  }
  return c;
}

}  // namespace toruna::client
