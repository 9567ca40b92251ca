#pragma once
// What a client knows about a server: the other registered clients, their
// events and the server's name, kept up to date from the frames the server
// sends. Apply reads one frame (bounds-checked, so a short or unknown frame is
// reported as Ignored) and says what it changed.

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "protocol/Frame.h"

namespace toruna::client {

struct ClientEntry {
  int32_t id = 0;
  std::string name;
};

struct EventEntry {
  int32_t id = 0;
  int32_t owner = 0;
  std::string name;
  std::string unit;
  int16_t interval = 0;
  int16_t max = 0;
};

enum class ChangeKind {
  Ignored,       // too short for its type, or a type this client does not know
  ClientAdded,   // ClientInfo
  ClientGone,    // ClientGone
  EventAdded,    // EventInfo
  EventRemoved,  // EventRemove
  Value,         // EventData
  Subscribers,   // EventSubscribe sent to an owner: flag says whether anybody listens
  EventCreated,  // EventCreated: the answer to our own create request
  ServerName,    // ServerInfo: the end of the roster
};

struct RosterChange {
  ChangeKind kind = ChangeKind::Ignored;
  uint8_t type = 0;             // the frame's type byte
  bool known = true;            // whether the client or event named was in the roster
  ClientEntry client;           // ClientAdded, ClientGone
  EventEntry event;             // EventAdded, EventRemoved, Value, Subscribers (id at least)
  std::vector<EventEntry> eventsOfGone;  // ClientGone: the events that went with it
  uint8_t value = 0;            // Value: the value; Subscribers: the flag
  int32_t requestId = 0;        // EventCreated
  std::string serverName;       // ServerName
};

class Roster {
 public:
  RosterChange Apply(const protocol::FrameView& frame);

  const std::map<int32_t, ClientEntry>& Clients() const { return clients_; }
  const std::map<int32_t, EventEntry>& Events() const { return events_; }
  // The client's name, or "#" and its ID when it is not known.
  std::string ClientName(int32_t id) const;
  bool Complete() const { return complete_; }
  const std::string& ServerName() const { return serverName_; }

 private:
  // Clients and events by ID; IDs grow with time, so this is also their order
  // of arrival at the server.
  std::map<int32_t, ClientEntry> clients_;
  std::map<int32_t, EventEntry> events_;
  std::string serverName_;
  bool complete_ = false;
};

}  // namespace toruna::client
