#include "WebApp.h"

#include <csignal>

#include "net/linux/SignalWatch.h"

namespace toruna::web {

namespace {

// A discovery collects answers for a second, every ten seconds.
constexpr auto kDiscoveryWindow = std::chrono::seconds(1);
constexpr int kDiscoverEveryTicks = 10;
// Proxies close a stream that is silent for a minute or so.
constexpr int kKeepAliveTicks = 15;

}  // namespace

WebApp::WebApp(WebOptions options, std::ostream& err, net::modNetSocket& dispatcher, net::EventLoop& loop)
    : options_(std::move(options)),
      err_(err),
      dispatcher_(dispatcher),
      loop_(loop),
      streams_(loop, servers_, options_),
      routes_(options_, servers_, streams_, files_,
              [this] {
                return Metrics::Figures{http_.OpenStreams(), http_.DroppedStreams(), http_.Requests()};
              }),
      http_(loop, routes_) {}

WebApp::~WebApp() {
  if (tick_) loop_.CancelTimer(*tick_);
  // The streams' ends reach the servers: the web server goes first.
  http_.Stop();
}

void WebApp::Say(const std::string& line) { err_ << "toruna-web: " << line << std::endl; }

void WebApp::Listen() {
  http_.Listen(options_.listen);
  Say("serving the dashboard on http://" + options_.listen.Str() + "/");
}

int WebApp::Run() {
  net::SignalWatch signals(loop_, [this](int signo) { Stop(signo); });
  tick_ = loop_.AddTimer(std::chrono::seconds(1), [this] { Tick(); });
  if (options_.discover) {
    Say("looking for servers (broadcast to UDP port 9666)");
    Discover();
  } else {
    for (const std::string& host : options_.servers) Add(host);
  }
  loop_.Run();
  return 0;
}

void WebApp::Add(const std::string& host) {
  const int id = static_cast<int>(servers_.size()) + 1;
  servers_.push_back(std::make_unique<ServerWatch>(id, dispatcher_, loop_, options_, host, streams_,
                                                   [this](const std::string& l) { Say(l); }));
  servers_.back()->Start();
}

void WebApp::Discover() {
  discovery_ = std::make_unique<client::Discovery>(dispatcher_);
  discovery_->OnServer = [this](const client::FoundServer& s) { Found(s); };
  discovery_->OnError = [this](const std::string& destination, const std::string& reason) {
    // Said once, not every ten seconds.
    const std::string problem = "cannot ask " + destination + " for servers: " + reason;
    if (problem != discoveryProblem_) Say(problem);
    discoveryProblem_ = problem;
  };
  discovery_->Start();
  loop_.DeferFor(kDiscoveryWindow, [this, alive = std::weak_ptr<int>(alive_)] {
    if (!alive.expired()) discovery_.reset();
  });
}

void WebApp::Found(const client::FoundServer& found) {
  if (stopping_) return;
  discoveryProblem_.clear();
  for (const auto& s : servers_) {
    if (s->Name() == found.name) {
      // Where it answers now is where the next attempt goes.
      s->Retarget(found.address);
      return;
    }
    // Connecting, not registered yet: its name is not known.
    if (s->Name().empty() && s->Host() == found.address) return;
  }
  Say("found server \"" + found.name + "\" on " + found.address);
  Add(found.address);
}

void WebApp::Tick() {
  ++ticks_;
  const auto now = std::chrono::steady_clock::now();
  for (const auto& s : servers_) s->Sweep(now, kGrace);
  if (ticks_ % kKeepAliveTicks == 0) streams_.KeepAlive();
  if (options_.discover && ticks_ % kDiscoverEveryTicks == 0 && !discovery_) Discover();
}

void WebApp::Stop(int signo) {
  if (stopping_) return;
  stopping_ = true;
  Say(std::string("leaving (") + (signo == SIGINT ? "SIGINT" : "SIGTERM") + ")");
  discovery_.reset();
  if (tick_) {
    loop_.CancelTimer(*tick_);
    tick_.reset();
  }
  http_.Stop();
  for (const auto& s : servers_) s->Stop();
  loop_.Stop();
}

}  // namespace toruna::web
