#pragma once
// One live stream to a browser (Server-Sent Events) on an HTTP connection of
// libmicrohttpd. What is sent waits in a queue of its own until the connection
// can take it; while the queue is empty the connection is suspended, so that
// libmicrohttpd does not poll it, and its socket is watched for the browser's
// hang-up instead. A browser that stops reading cannot make the queue grow
// without bound: past the limit the stream is ended (and counted as dropped).
// This class owns neither the connection nor the loop; HttpServer owns it.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "net/linux/EventLoop.h"

struct MHD_Connection;

namespace toruna::web {

class EventStream {
 public:
  // wake asks libmicrohttpd to run soon: a resumed connection is taken up
  // only then.
  EventStream(net::EventLoop& loop, MHD_Connection* connection, uint64_t id, size_t limit,
              std::function<void()> wake);
  ~EventStream();
  EventStream(const EventStream&) = delete;
  EventStream& operator=(const EventStream&) = delete;

  uint64_t Id() const { return id_; }
  // One message: "event: TYPE" and the data, which must hold no line break.
  // False when the stream has ended (now or before).
  bool Send(std::string_view type, std::string_view data);
  // A comment line, which keeps proxies and the browser's timers content.
  void KeepAlive();
  // Ends the stream; the connection closes once libmicrohttpd runs.
  void End();
  bool Ended() const { return ended_; }
  // Ended because the browser did not keep up.
  bool Dropped() const { return dropped_; }
  size_t Pending() const { return queue_.size() - head_; }

  // For HttpServer: libmicrohttpd's content reader and the end of the connection.
  ssize_t Read(char* buf, size_t max);
  void Closed();

 private:
  void Append(std::string_view text);
  void Wake();
  void Abort();
  void WatchHangUp();
  void UnwatchHangUp();

  net::EventLoop& loop_;
  MHD_Connection* connection_;
  uint64_t id_;
  size_t limit_;
  std::function<void()> wake_;
  std::string queue_;
  size_t head_ = 0;  // what was handed to libmicrohttpd already
  bool suspended_ = false;
  bool ended_ = false;
  bool dropped_ = false;
  bool closed_ = false;
  int watchedFd_ = -1;
};

}  // namespace toruna::web
