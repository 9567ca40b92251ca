#include "HttpServer.h"

#include <arpa/inet.h>
#include <microhttpd.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace toruna::web {

namespace {

// Bytes of a stream handed to libmicrohttpd at a time.
constexpr size_t kStreamBlock = 32 * 1024;
// A peer that stops acknowledging what was sent (a machine switched off
// mid-stream) is given up after this long rather than TCP's quarter hour.
constexpr unsigned kUnackedMillis = 30000;
// The kernel's send buffer of each connection: without a bound, autotuning
// lets a browser that stops reading park megabytes there, beyond the
// streams' own backlog limit.
constexpr int kSendBuffer = 256 * 1024;

// Every answer: no framing by other sites, no guessing of types, scripts and
// styles from this server only (the page has no inline script), no referrer.
const std::pair<const char*, const char*> kCommonHeaders[] = {
    {"X-Content-Type-Options", "nosniff"},
    {"X-Frame-Options", "DENY"},
    {"Referrer-Policy", "no-referrer"},
    {"Content-Security-Policy",
     "default-src 'none'; script-src 'self'; style-src 'self'; img-src 'self' data:; "
     "connect-src 'self'; frame-ancestors 'none'; base-uri 'none'; form-action 'none'"},
};

struct RequestState {
  size_t body = 0;
};

// What libmicrohttpd's stream callbacks get: the stream and who keeps it.
struct StreamBinding {
  HttpServer* server;
  EventStream* stream;
};

std::string Describe(const ListenAddress& a, int err) {
  const std::string where = "cannot listen on " + a.Str() + ": ";
  if (err == EADDRINUSE) return where + "the port is in use (is toruna-web running already?)";
  if (err == EADDRNOTAVAIL) return where + "no interface of this machine has that address";
  if (err == EACCES) return where + "permission denied (ports below 1024 need privileges)";
  return where + std::strerror(err);
}

}  // namespace

struct MhdGlue {
  static MHD_Result Access(void* cls, MHD_Connection* c, const char* url, const char* method,
                           const char*, const char*, size_t* uploadSize, void** state) {
    auto* self = static_cast<HttpServer*>(cls);
    if (*state == nullptr) {
      *state = new RequestState;
      return MHD_YES;
    }
    auto* request = static_cast<RequestState*>(*state);
    if (*uploadSize != 0) {
      request->body += *uploadSize;
      *uploadSize = 0;
      return MHD_YES;
    }
    ++self->requests_;
    if (request->body > self->limits_.maxBody) {
      return self->Queue(c, HttpResponse::Error(413, "request bodies are not taken"), false) ? MHD_YES : MHD_NO;
    }
    const bool head = std::strcmp(method, "HEAD") == 0;
    HttpRequest r;
    r.method = head ? "GET" : method;
    r.path = url;
    r.connection = c;
    return self->Queue(c, self->handler_.Handle(r), head) ? MHD_YES : MHD_NO;
  }

  static void Completed(void*, MHD_Connection*, void** state, MHD_RequestTerminationCode) {
    delete static_cast<RequestState*>(*state);
    *state = nullptr;
  }

  static ssize_t StreamRead(void* cls, uint64_t, char* buf, size_t max) {
    return static_cast<StreamBinding*>(cls)->stream->Read(buf, max);
  }

  static void StreamFree(void* cls) {
    auto* binding = static_cast<StreamBinding*>(cls);
    binding->server->StreamDone(binding->stream);
    delete binding;
  }
};

std::optional<std::string> HttpRequest::Query(const char* name) const {
  const char* v = MHD_lookup_connection_value(connection, MHD_GET_ARGUMENT_KIND, name);
  if (v == nullptr) return std::nullopt;
  return std::string(v);
}

std::optional<std::string> HttpRequest::Header(const char* name) const {
  const char* v = MHD_lookup_connection_value(connection, MHD_HEADER_KIND, name);
  if (v == nullptr) return std::nullopt;
  return std::string(v);
}

HttpResponse HttpResponse::Json(std::string body, int status) {
  HttpResponse r;
  r.status = status;
  r.body = std::move(body);
  return r;
}

HttpResponse HttpResponse::Error(int status, const std::string& message) {
  std::string body = "{\"error\":\"";
  for (char ch : message) {
    if (ch == '"' || ch == '\\') body += '\\';
    body += ch;
  }
  body += "\"}";
  return Json(std::move(body), status);
}

HttpResponse HttpResponse::Stream() {
  HttpResponse r;
  r.stream = true;
  r.contentType = "text/event-stream";
  return r;
}

HttpServer::HttpServer(net::EventLoop& loop, HttpHandler& handler) : HttpServer(loop, handler, Limits{}) {}

HttpServer::HttpServer(net::EventLoop& loop, HttpHandler& handler, Limits limits)
    : loop_(loop), handler_(handler), limits_(limits) {}

HttpServer::~HttpServer() { Stop(); }

void HttpServer::Listen(const ListenAddress& address) {
  const int family = address.v6 ? AF_INET6 : AF_INET;
  int fd = socket(family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) throw ListenError(Describe(address, errno));
  const int one = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  // Accepted connections inherit these.
  const unsigned unacked = kUnackedMillis;
  setsockopt(fd, IPPROTO_TCP, TCP_USER_TIMEOUT, &unacked, sizeof unacked);
  setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &kSendBuffer, sizeof kSendBuffer);
  sockaddr_storage ss{};
  socklen_t len = 0;
  if (address.v6) {
    auto* sa = reinterpret_cast<sockaddr_in6*>(&ss);
    sa->sin6_family = AF_INET6;
    sa->sin6_port = htons(address.port);
    inet_pton(AF_INET6, address.address.c_str(), &sa->sin6_addr);
    len = sizeof *sa;
  } else {
    auto* sa = reinterpret_cast<sockaddr_in*>(&ss);
    sa->sin_family = AF_INET;
    sa->sin_port = htons(address.port);
    inet_pton(AF_INET, address.address.c_str(), &sa->sin_addr);
    len = sizeof *sa;
  }
  if (bind(fd, reinterpret_cast<sockaddr*>(&ss), len) != 0 || listen(fd, 64) != 0) {
    const int err = errno;
    close(fd);
    throw ListenError(Describe(address, err));
  }

  unsigned flags = MHD_USE_EPOLL | MHD_ALLOW_SUSPEND_RESUME;
  if (address.v6) flags |= MHD_USE_IPv6;
  daemon_ = MHD_start_daemon(
      flags, 0, nullptr, nullptr, &MhdGlue::Access, this,
      MHD_OPTION_LISTEN_SOCKET, fd, MHD_OPTION_NOTIFY_COMPLETED,
      &MhdGlue::Completed, this,
      MHD_OPTION_CONNECTION_LIMIT, limits_.connections, MHD_OPTION_PER_IP_CONNECTION_LIMIT,
      limits_.perAddress, MHD_OPTION_CONNECTION_TIMEOUT, limits_.idleSeconds,
      MHD_OPTION_SIGPIPE_HANDLED_BY_APP, 1, MHD_OPTION_END);
  if (daemon_ == nullptr) {
    close(fd);
    throw ListenError("cannot listen on " + address.Str() + ": the web server library could not start");
  }
  listenFd_ = fd;
  epollFd_ = MHD_get_daemon_info(daemon_, MHD_DAEMON_INFO_EPOLL_FD)->epoll_fd;
  loop_.Watch(epollFd_, net::EventLoop::kReadable, [this](uint32_t) { Run(); });
  tick_ = loop_.AddTimer(std::chrono::seconds(1), [this] { Run(); });
}

void HttpServer::Run() {
  if (daemon_ == nullptr || running_) return;
  running_ = true;
  MHD_run(daemon_);
  running_ = false;
  MHD_UNSIGNED_LONG_LONG timeout = 0;
  // Zero: libmicrohttpd has work in hand that its epoll set will not report
  // again (it reads edge-triggered).
  if (MHD_get_timeout(daemon_, &timeout) == MHD_YES && timeout == 0) RunSoon();
}

void HttpServer::RunSoon() {
  if (runQueued_) return;
  runQueued_ = true;
  loop_.Defer([this, alive = std::weak_ptr<int>(alive_)] {
    if (alive.expired()) return;
    runQueued_ = false;
    Run();
  });
}

bool HttpServer::Queue(MHD_Connection* c, HttpResponse response, bool head) {
  MHD_Response* r = nullptr;
  if (response.stream && !head) {
    auto stream = std::make_unique<EventStream>(loop_, c, nextStream_++, limits_.streamBacklog, [this] { RunSoon(); });
    EventStream* s = stream.get();
    streams_[s->Id()] = std::move(stream);
    r = MHD_create_response_from_callback(MHD_SIZE_UNKNOWN, kStreamBlock, &MhdGlue::StreamRead,
                                          new StreamBinding{this, s}, &MhdGlue::StreamFree);
    MHD_add_response_header(r, "Cache-Control", "no-store");
    // Reverse proxies (nginx) would otherwise hold the events back.
    MHD_add_response_header(r, "X-Accel-Buffering", "no");
    handler_.StreamOpened(*s);
  } else if (response.staticBody != nullptr) {
    r = MHD_create_response_from_buffer(response.staticBody->size(),
                                        const_cast<char*>(response.staticBody->data()), MHD_RESPMEM_PERSISTENT);
  } else {
    r = MHD_create_response_from_buffer(response.body.size(), response.body.data(), MHD_RESPMEM_MUST_COPY);
  }
  if (r == nullptr) return false;
  MHD_add_response_header(r, "Content-Type", response.contentType.c_str());
  for (const auto& [name, value] : kCommonHeaders) MHD_add_response_header(r, name, value);
  for (const auto& [name, value] : response.headers) MHD_add_response_header(r, name.c_str(), value.c_str());
  const MHD_Result queued = MHD_queue_response(c, static_cast<unsigned>(response.status), r);
  MHD_destroy_response(r);
  return queued == MHD_YES;
}

void HttpServer::StreamDone(EventStream* stream) {
  auto it = streams_.find(stream->Id());
  if (it == streams_.end()) return;
  stream->Closed();
  if (stream->Dropped()) ++dropped_;
  // Out of the map first: the handler may look at the others.
  std::unique_ptr<EventStream> gone = std::move(it->second);
  streams_.erase(it);
  handler_.StreamClosed(*gone);
}

void HttpServer::Stop() {
  if (daemon_ == nullptr) return;
  for (auto& [id, stream] : streams_) stream->End();
  Run();
  loop_.Unwatch(epollFd_);
  if (tick_) loop_.CancelTimer(*tick_);
  tick_.reset();
  MHD_Daemon* d = daemon_;
  daemon_ = nullptr;
  // Closes every connection (the streams' end comes through StreamDone) and
  // the listening socket.
  MHD_stop_daemon(d);
  listenFd_ = -1;
  epollFd_ = -1;
}

}  // namespace toruna::web
