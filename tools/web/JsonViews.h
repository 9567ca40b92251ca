#pragma once
// The JSON that the page's stream and the API for scripts share: one
// rendering of a server, a roster, an event and its values, so that both say
// the same thing the same way. Times are milliseconds since the epoch.

#include <deque>
#include <string>

#include "ServerWatch.h"

namespace toruna::web {

class JsonViews {
 public:
  // {"id","name","host","state","problem","clients","subscriptions"}
  static std::string Server(const ServerWatch& s);
  // {"servers":[Server...]}
  static std::string Servers(const ServerSet& servers);
  static std::string Client(const client::ClientEntry& c);
  // {"id","owner","client","name","unit","interval","max","subscribed","exported","count"}
  // and "value", "time" once one is known.
  static std::string Event(const WatchedEvent& e);
  // {"server","name","clients":[...],"events":[...]}
  static std::string Roster(const ServerWatch& s);
  // {"server","events":[{"name","unit","max","ready","subscribers","value"}]}
  static std::string Own(const ServerWatch& s);
  // [[time,value],...]
  static std::string Samples(const std::deque<Sample>& samples);
};

}  // namespace toruna::web
