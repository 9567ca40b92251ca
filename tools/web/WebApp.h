#pragma once
// The toruna-web program: the servers it shows (those named, or every one a
// discovery finds, asked again every few seconds), the page's streams and the
// web server, on one loop until SIGTERM or SIGINT. Once a second it lets go
// of the subscriptions nobody wants any more, and now and then it sends every
// stream a keep-alive.
// This class owns the servers, the streams' state and the web server; it does
// not own the loop or the dispatcher.

#include <chrono>
#include <memory>
#include <optional>
#include <ostream>
#include <set>
#include <string>

#include "HttpServer.h"
#include "LiveStreams.h"
#include "ServerWatch.h"
#include "StaticFiles.h"
#include "WebArguments.h"
#include "WebRoutes.h"
#include "client/Discovery.h"

namespace toruna::web {

class WebApp {
 public:
  // How long a subscription outlives its last viewer.
  static constexpr std::chrono::milliseconds kGrace{3000};

  WebApp(WebOptions options, std::ostream& err, net::modNetSocket& dispatcher, net::EventLoop& loop);
  ~WebApp();
  WebApp(const WebApp&) = delete;
  WebApp& operator=(const WebApp&) = delete;

  // Takes the listening address; ListenError when it cannot.
  void Listen();
  // Runs until a signal; the exit status.
  int Run();

 private:
  void Say(const std::string& line);
  void Add(const std::string& host);
  void Discover();
  void Found(const client::FoundServer& s);
  void Tick();
  void Stop(int signo);

  WebOptions options_;
  std::ostream& err_;
  net::modNetSocket& dispatcher_;
  net::EventLoop& loop_;
  ServerSet servers_;
  LiveStreams streams_;
  StaticFiles files_;
  WebRoutes routes_;
  HttpServer http_;
  std::unique_ptr<client::Discovery> discovery_;
  std::string discoveryProblem_;
  std::optional<net::EventLoop::TimerId> tick_;
  int ticks_ = 0;
  bool stopping_ = false;
  std::shared_ptr<int> alive_ = std::make_shared<int>(0);
};

}  // namespace toruna::web
