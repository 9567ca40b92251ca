#pragma once
// The program's web server: libmicrohttpd run by the project's event loop.
// libmicrohttpd keeps its sockets in an epoll set of its own whose descriptor
// the loop watches; MHD_run is called when it is readable, when libmicrohttpd
// says it has work left, and once a second for its connection timeouts. So it
// runs no thread of its own, and every handler runs on the loop's thread.
// Live streams (EventStream) are responses of unknown length that suspend
// their connection while they have nothing to send.
// This class owns the daemon, the listening socket and the streams; it does
// not own the loop or the handler.

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "EventStream.h"
#include "WebArguments.h"
#include "net/linux/EventLoop.h"

struct MHD_Daemon;
struct MHD_Connection;

namespace toruna::web {

class ListenError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct HttpRequest {
  std::string method;  // "GET", "POST", ...; "HEAD" is given as "GET"
  std::string path;    // without the query
  MHD_Connection* connection = nullptr;
  // A query argument, decoded; nullopt when absent.
  std::optional<std::string> Query(const char* name) const;
  std::optional<std::string> Header(const char* name) const;
};

struct HttpResponse {
  int status = 200;
  std::string contentType = "application/json";
  std::string body;
  // A body that lives as long as the program (the page's files): not copied.
  const std::string* staticBody = nullptr;
  std::vector<std::pair<std::string, std::string>> headers;
  bool stream = false;  // answer with a live event stream instead

  static HttpResponse Json(std::string body, int status = 200);
  // {"error": message}
  static HttpResponse Error(int status, const std::string& message);
  static HttpResponse Stream();
};

class HttpHandler {
 public:
  virtual HttpResponse Handle(const HttpRequest& request) = 0;
  // A live stream is open, or has ended; it is destroyed after StreamClosed.
  virtual void StreamOpened(EventStream& stream) = 0;
  virtual void StreamClosed(EventStream& stream) = 0;

 protected:
  ~HttpHandler() = default;
};

class HttpServer {
 public:
  struct Limits {
    unsigned connections = 128;
    unsigned perAddress = 32;
    unsigned idleSeconds = 30;         // a connection that moves no byte for so long is closed
    size_t streamBacklog = 1 << 20;    // bytes a stream may have waiting
    size_t maxBody = 4096;             // request bodies are not used; larger ones are refused
  };

  HttpServer(net::EventLoop& loop, HttpHandler& handler);
  HttpServer(net::EventLoop& loop, HttpHandler& handler, Limits limits);
  ~HttpServer();
  HttpServer(const HttpServer&) = delete;
  HttpServer& operator=(const HttpServer&) = delete;

  // Takes the address and starts serving; ListenError with a sentence
  // ("127.0.0.1:8080 is in use") when it cannot.
  void Listen(const ListenAddress& address);
  // Ends every stream and closes every connection; nothing is served after.
  void Stop();

  size_t OpenStreams() const { return streams_.size(); }
  uint64_t Requests() const { return requests_; }
  uint64_t DroppedStreams() const { return dropped_; }

 private:
  friend struct MhdGlue;  // libmicrohttpd's callbacks, with its own types

  bool Queue(MHD_Connection* c, HttpResponse response, bool head);
  void Run();
  void RunSoon();
  void StreamDone(EventStream* stream);

  net::EventLoop& loop_;
  HttpHandler& handler_;
  Limits limits_;
  MHD_Daemon* daemon_ = nullptr;
  int listenFd_ = -1;
  int epollFd_ = -1;
  bool running_ = false;  // inside MHD_run
  bool runQueued_ = false;
  std::optional<net::EventLoop::TimerId> tick_;
  std::map<uint64_t, std::unique_ptr<EventStream>> streams_;
  uint64_t nextStream_ = 1;
  uint64_t requests_ = 0;
  uint64_t dropped_ = 0;
  std::shared_ptr<int> alive_ = std::make_shared<int>(0);
};

}  // namespace toruna::web
