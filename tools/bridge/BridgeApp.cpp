#include "BridgeApp.h"

#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <fstream>

#include "loop/SignalWatch.h"

namespace toruna::bridge {

namespace {

// How long answers to a discovery are collected, and how often --discover-all
// asks again for servers that came up since.
constexpr auto kDiscoveryWindow = std::chrono::seconds(1);
constexpr auto kRediscoverEvery = std::chrono::seconds(30);

std::string LocalHostName() {
  char buf[256] = {};
  if (gethostname(buf, sizeof buf - 1) != 0) return "";
  return buf;
}

}  // namespace

BridgeApp::BridgeApp(BridgeOptions options, std::ostream& err, net::modNetSocket& dispatcher,
                     loop::EventLoop& loop)
    : options_(std::move(options)),
      err_(err),
      dispatcher_(dispatcher),
      loop_(loop),
      localHost_(LocalHostName()) {}

BridgeApp::~BridgeApp() {
  if (timer_) loop_.CancelTimer(*timer_);
}

std::string BridgeApp::ReadPassword(const std::string& path) {
  std::ifstream in(path);
  std::string line;
  if (!in || (!std::getline(in, line) && !in.eof())) {
    throw UsageError("cannot read the password file " + path);
  }
  if (!line.empty() && line.back() == '\r') line.pop_back();
  return line;
}

void BridgeApp::Say(const std::string& line) { err_ << "toruna-bridge: " << line << std::endl; }

int BridgeApp::Run() {
  loop::SignalWatch signals(loop_, [this](int signo) { Stop(signo); });
  if (options_.discover == DiscoverMode::Off) {
    Add(options_.server, false);
  } else {
    Say("looking for servers (broadcast to UDP port 9666)");
    Discover();
  }
  loop_.Run();
  return 0;
}

void BridgeApp::Discover() {
  found_.clear();
  discovery_ = std::make_unique<client::Discovery>(dispatcher_);
  discovery_->OnServer = [this](const client::FoundServer& s) {
    if (std::any_of(found_.begin(), found_.end(), [&](const auto& f) { return f.name == s.name; })) return;
    found_.push_back(s);
    // The first answer is all --discover wants; the discovery ends after
    // this callback.
    if (options_.discover == DiscoverMode::First) loop_.Defer([this] { DiscoveryOver(); });
  };
  discovery_->OnError = [this](const std::string& destination, const std::string& reason) {
    Say("cannot ask " + destination + " for servers: " + reason);
  };
  discovery_->Start();
  timer_ = loop_.RunAfter(kDiscoveryWindow, [this] { DiscoveryOver(); });
}

void BridgeApp::DiscoveryOver() {
  if (!discovery_) return;
  discovery_.reset();
  loop_.CancelTimer(*timer_);
  timer_.reset();
  if (stopping_) return;
  for (const client::FoundServer& s : found_) {
    if (bridged_.count(s.name) != 0) continue;
    Say("found server \"" + s.name + "\" on " + s.address);
    bridged_.insert(s.name);
    Add(s.address, true);
    if (options_.discover == DiscoverMode::First) return;
  }
  std::chrono::milliseconds wait = kRediscoverEvery;
  if (bridges_.empty()) {
    wait = backoff_.Next();
    Say("no server answered; asking again in " + Backoff::Say(wait));
  }
  timer_ = loop_.RunAfter(wait, [this] {
    timer_.reset();
    Discover();
  });
}

void BridgeApp::Add(const std::string& host, bool rediscover) {
  bridges_.push_back(std::make_unique<ServerBridge>(dispatcher_, loop_, options_, host, rediscover,
                                                    localHost_, [this](const std::string& l) { Say(l); }));
  bridges_.back()->Start();
}

void BridgeApp::Stop(int signo) {
  if (stopping_) return;
  stopping_ = true;
  Say(std::string("leaving (") + (signo == SIGINT ? "SIGINT" : "SIGTERM") + ")");
  discovery_.reset();
  if (timer_) {
    loop_.CancelTimer(*timer_);
    timer_.reset();
  }
  if (bridges_.empty()) {
    Say("stopped");
    loop_.Stop();
    return;
  }
  for (auto& b : bridges_) {
    b->Stop([this] {
      if (++stopped_ != bridges_.size()) return;
      Say("stopped");
      loop_.Stop();
    });
  }
}

}  // namespace toruna::bridge
