#include "LiveStreams.h"

#include <cstdio>
#include <random>
#include <vector>

#include "JsonViews.h"
#include "JsonWriter.h"

#ifndef TORUNA_VERSION
#define TORUNA_VERSION "unknown"
#endif

namespace toruna::web {

using tools::JsonWriter;

namespace {

// How long values are gathered before they go out.
constexpr auto kBatchDelay = std::chrono::milliseconds(40);

std::string Tagged(const ServerWatch& s, std::string_view key, const std::string& json) {
  return JsonWriter().Add("server", static_cast<int64_t>(s.Id())).AddRaw(key, json).Str();
}

}  // namespace

LiveStreams::LiveStreams(net::EventLoop& loop, const ServerSet& servers, const WebOptions& options)
    : loop_(loop), servers_(servers), options_(options) {}

LiveStreams::~LiveStreams() = default;

std::string LiveStreams::NewToken() {
  // Only a browser that got it on its stream can change what that stream
  // watches; it is not guessed from the stream's number.
  std::random_device random;
  char buf[33];
  std::snprintf(buf, sizeof buf, "%08x%08x%08x%08x", random(), random(), random(), random());
  return buf;
}

void LiveStreams::Opened(EventStream& stream) {
  Viewer& v = viewers_[stream.Id()];
  v.stream = &stream;
  v.token = NewToken();
  byToken_[v.token] = stream.Id();
  stream.Send("hello", JsonWriter()
                           .Add("stream", v.token)
                           .Add("publish", options_.allowPublish)
                           .Add("version", TORUNA_VERSION)
                           .Add("name", options_.name)
                           .Str());
  stream.Send("servers", JsonViews::Servers(servers_));
  for (const auto& s : servers_) {
    stream.Send("roster", JsonViews::Roster(*s));
    if (options_.allowPublish) stream.Send("own", JsonViews::Own(*s));
  }
}

void LiveStreams::Closed(EventStream& stream) {
  auto it = viewers_.find(stream.Id());
  if (it == viewers_.end()) return;
  const Viewer gone = std::move(it->second);
  viewers_.erase(it);
  byToken_.erase(gone.token);
  for (const auto& [server, path] : gone.watches) {
    if (ServerWatch* s = FindServer(servers_, server)) s->RemoveViewer(path);
  }
}

LiveStreams::WatchResult LiveStreams::Watch(const std::string& token, int server, const EventPath& path, bool on) {
  auto t = byToken_.find(token);
  if (t == byToken_.end()) return WatchResult::NoStream;
  ServerWatch* s = FindServer(servers_, server);
  if (s == nullptr) return WatchResult::NoServer;
  Viewer& v = viewers_.at(t->second);
  if (on) {
    if (v.watches.insert({server, path}).second) s->AddViewer(path);
  } else {
    if (v.watches.erase({server, path}) != 0) s->RemoveViewer(path);
  }
  return WatchResult::Ok;
}

void LiveStreams::KeepAlive() {
  for (auto& [id, v] : viewers_) v.stream->KeepAlive();
}

void LiveStreams::Broadcast(std::string_view type, const std::string& data) {
  Flush();
  for (auto& [id, v] : viewers_) v.stream->Send(type, data);
}

void LiveStreams::Flush() {
  if (pending_.empty()) return;
  std::map<std::pair<int, int32_t>, Batch> batches;
  batches.swap(pending_);
  std::vector<std::pair<Watched, std::string>> parts;
  for (auto& [key, batch] : batches) {
    parts.push_back({{key.first, batch.path},
                     "[" + std::to_string(key.first) + "," + std::to_string(key.second) + ",[" + batch.samples + "]]"});
  }
  for (auto& [id, v] : viewers_) {
    std::string message;
    for (const auto& [watched, part] : parts) {
      if (v.watches.count(watched) == 0) continue;
      message += message.empty() ? "{\"values\":[" : ",";
      message += part;
    }
    if (!message.empty()) v.stream->Send("values", message + "]}");
  }
}

void LiveStreams::ServerChanged(ServerWatch& s) { Broadcast("server", JsonViews::Server(s)); }

void LiveStreams::RosterReset(ServerWatch& s) { Broadcast("roster", JsonViews::Roster(s)); }

void LiveStreams::ClientJoined(ServerWatch& s, const client::ClientEntry& c) {
  Broadcast("joined", Tagged(s, "client", JsonViews::Client(c)));
}

void LiveStreams::ClientLeft(ServerWatch& s, const client::ClientEntry& c) {
  Broadcast("left", Tagged(s, "client", JsonViews::Client(c)));
}

void LiveStreams::EventAdded(ServerWatch& s, const WatchedEvent& e) {
  Broadcast("created", Tagged(s, "event", JsonViews::Event(e)));
}

void LiveStreams::EventRemoved(ServerWatch& s, const WatchedEvent& e) {
  Broadcast("removed", Tagged(s, "event", JsonViews::Event(e)));
}

void LiveStreams::OwnEventsChanged(ServerWatch& s) {
  if (options_.allowPublish) Broadcast("own", JsonViews::Own(s));
}

void LiveStreams::ValueArrived(ServerWatch& s, const WatchedEvent& e, const Sample& sample) {
  if (e.viewers == 0) return;  // kept for --export only
  Batch& b = pending_[{s.Id(), e.entry.id}];
  if (b.samples.empty()) {
    b.path = e.Path();
  } else {
    b.samples += ',';
  }
  b.samples += "[" + std::to_string(sample.at) + "," + std::to_string(sample.value) + "]";
  if (flushQueued_) return;
  flushQueued_ = true;
  loop_.DeferFor(kBatchDelay, [this, alive = std::weak_ptr<int>(alive_)] {
    if (alive.expired()) return;
    flushQueued_ = false;
    Flush();
  });
}

}  // namespace toruna::web
