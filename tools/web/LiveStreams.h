#pragma once
// The pages' live streams: each gets the servers and their rosters when it
// opens, then every change as it happens, and the values of the events it
// watches. Values are gathered for a few tens of milliseconds and sent as one
// message per stream, so that a busy event costs a browser one message per
// batch rather than one per value; any other message first sends what was
// gathered, so that each stream sees things in the order they happened.
// A stream names what it watches through the API (Watch), by its token; its
// watches are given back when it closes.
// This class owns no stream (HttpServer does) and no server.

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <string_view>
#include <utility>

#include "EventStream.h"
#include "ServerWatch.h"

namespace toruna::web {

class LiveStreams : public ServerWatch::Listener {
 public:
  LiveStreams(net::EventLoop& loop, const ServerSet& servers, const WebOptions& options);
  ~LiveStreams();
  LiveStreams(const LiveStreams&) = delete;
  LiveStreams& operator=(const LiveStreams&) = delete;

  // Sends the stream its token and the whole state.
  void Opened(EventStream& stream);
  // Gives back what it watched.
  void Closed(EventStream& stream);

  enum class WatchResult { Ok, NoStream, NoServer };
  WatchResult Watch(const std::string& token, int server, const EventPath& path, bool on);
  // A comment on every stream, so that a browser gone without a word is noticed.
  void KeepAlive();
  size_t Count() const { return viewers_.size(); }

  void ServerChanged(ServerWatch& s) override;
  void RosterReset(ServerWatch& s) override;
  void ClientJoined(ServerWatch& s, const client::ClientEntry& c) override;
  void ClientLeft(ServerWatch& s, const client::ClientEntry& c) override;
  void EventAdded(ServerWatch& s, const WatchedEvent& e) override;
  void EventRemoved(ServerWatch& s, const WatchedEvent& e) override;
  void ValueArrived(ServerWatch& s, const WatchedEvent& e, const Sample& sample) override;
  void OwnEventsChanged(ServerWatch& s) override;

 private:
  using Watched = std::pair<int, EventPath>;  // server ID, event name
  struct Viewer {
    EventStream* stream = nullptr;
    std::string token;
    std::set<Watched> watches;
  };
  struct Batch {
    EventPath path;
    std::string samples;  // "[t,v],[t,v]"
  };

  void Broadcast(std::string_view type, const std::string& data);
  void Flush();
  static std::string NewToken();

  net::EventLoop& loop_;
  const ServerSet& servers_;
  const WebOptions& options_;
  std::map<uint64_t, Viewer> viewers_;  // by stream ID
  std::map<std::string, uint64_t> byToken_;
  std::map<std::pair<int, int32_t>, Batch> pending_;  // by server and event ID
  bool flushQueued_ = false;
  std::shared_ptr<int> alive_ = std::make_shared<int>(0);
};

}  // namespace toruna::web
