#include "JsonViews.h"

#include <vector>

#include "JsonWriter.h"

namespace toruna::web {

using tools::JsonWriter;

namespace {

const char* StateName(ServerWatch::State state) {
  switch (state) {
    case ServerWatch::State::Connecting: return "connecting";
    case ServerWatch::State::Connected: return "connected";
    case ServerWatch::State::Lost: return "lost";
  }
  return "lost";
}

}  // namespace

std::string JsonViews::Server(const ServerWatch& s) {
  return JsonWriter()
      .Add("id", static_cast<int64_t>(s.Id()))
      .Add("name", s.Name())
      .Add("host", s.Host())
      .Add("state", StateName(s.GetState()))
      .Add("problem", s.Problem())
      .Add("clients", static_cast<int64_t>(s.Clients().size()))
      .Add("subscriptions", static_cast<int64_t>(s.Subscriptions()))
      .Str();
}

std::string JsonViews::Servers(const ServerSet& servers) {
  std::vector<std::string> all;
  for (const auto& s : servers) all.push_back(Server(*s));
  return JsonWriter().AddRaw("servers", JsonWriter::Array(all)).Str();
}

std::string JsonViews::Client(const client::ClientEntry& c) {
  return JsonWriter().Add("id", c.id).Add("name", c.name).Str();
}

std::string JsonViews::Event(const WatchedEvent& e) {
  JsonWriter w;
  w.Add("id", e.entry.id)
      .Add("owner", e.entry.owner)
      .Add("client", e.client)
      .Add("name", e.entry.name)
      .Add("unit", e.entry.unit)
      .Add("interval", static_cast<int64_t>(e.entry.interval))
      .Add("max", static_cast<int64_t>(e.entry.max))
      .Add("subscribed", e.subscribed)
      .Add("exported", e.exported)
      .Add("count", static_cast<int64_t>(e.values.Count()));
  if (e.values.HasValue()) {
    w.Add("value", static_cast<int64_t>(e.values.Last().value)).Add("time", e.values.Last().at);
  }
  return w.Str();
}

std::string JsonViews::Roster(const ServerWatch& s) {
  std::vector<std::string> clients;
  for (const client::ClientEntry& c : s.Clients()) clients.push_back(Client(c));
  std::vector<std::string> events;
  for (const auto& [id, e] : s.Events()) events.push_back(Event(e));
  return JsonWriter()
      .Add("server", static_cast<int64_t>(s.Id()))
      .Add("name", s.Name())
      .AddRaw("clients", JsonWriter::Array(clients))
      .AddRaw("events", JsonWriter::Array(events))
      .Str();
}

std::string JsonViews::Own(const ServerWatch& s) {
  std::vector<std::string> events;
  for (const auto& [name, own] : s.OwnEvents()) {
    JsonWriter w;
    w.Add("name", own.name)
        .Add("unit", own.unit)
        .Add("max", static_cast<int64_t>(own.max))
        .Add("ready", own.ready)
        .Add("subscribers", own.subscribers);
    if (own.last) w.Add("value", static_cast<int64_t>(*own.last));
    events.push_back(w.Str());
  }
  return JsonWriter().Add("server", static_cast<int64_t>(s.Id())).AddRaw("events", JsonWriter::Array(events)).Str();
}

std::string JsonViews::Samples(const std::deque<Sample>& samples) {
  std::string out = "[";
  bool first = true;
  for (const Sample& s : samples) {
    if (!first) out += ',';
    first = false;
    out += '[';
    out += std::to_string(s.at);
    out += ',';
    out += std::to_string(s.value);
    out += ']';
  }
  out += ']';
  return out;
}

}  // namespace toruna::web
