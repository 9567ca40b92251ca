#include "Bench.h"

#include <time.h>

#include <algorithm>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>

namespace loadgen {

double Now() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

long ReadRssKb(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  std::string key;
  while (in >> key) {
    if (key == "VmRSS:") {
      long kb = -1;
      in >> kb;
      return kb;
    }
    in.ignore(1 << 12, '\n');
  }
  return -1;
}

long ReadListenDrops() {
  // Two lines per group: the field names, then the values.
  std::ifstream in("/proc/net/netstat");
  std::string names, values;
  while (std::getline(in, names) && std::getline(in, values)) {
    if (names.rfind("TcpExt:", 0) != 0) continue;
    std::istringstream n(names), v(values);
    std::string name, value;
    while (n >> name && v >> value)
      if (name == "ListenDrops") return std::stol(value);
  }
  return -1;
}

Bench::Bench(Protocol& proto, uint16_t port, size_t maxPending)
    : proto_(proto), poller_(port), maxPending_(maxPending ? maxPending : 1) {
  handlers_.connected = [this](Connection& c) { proto_.Start(c); };
  handlers_.received = [this](Connection& c) { OnReceived(c); };
}

void Bench::OnReceived(Connection& c) {
  long used = proto_.Parse(c, c.in.data(), c.in.size(), *this);
  if (used < 0)
    throw std::runtime_error(std::string("malformed ") + proto_.Name() + " data on connection " +
                             std::to_string(c.index));
  c.in.erase(c.in.begin(), c.in.begin() + used);
}

void Bench::OnSignal(Connection& c, Signal s, uint8_t value) {
  switch (s) {
    case Signal::Registered:
      if (c.registered) break;
      c.registered = true;
      if (c.isPublisher) {
        publisherReady_ = proto_.PreparePublisher(c);
        break;
      }
      ++registered_;
      lastRegistered_ = Now();
      if (subscribeOnRegister_) proto_.Subscribe(c);
      break;
    case Signal::PublisherReady:
      publisherReady_ = true;
      break;
    case Signal::Subscribed:
      if (!c.subscribed && !c.isPublisher) {
        c.subscribed = true;
        ++subscribed_;
      }
      break;
    case Signal::Delivery: {
      if (!tracker_ || !c.subscribed)
        throw std::runtime_error("a delivery to a connection that did not subscribe");
      tracker_->Deliver(&c.next, value);
      const uint64_t before = tracker_->Completed();
      if (tracker_->Collect() == 0) break;
      lastCompletion_ = Now();
      if (keepLatencies_)
        for (uint64_t seq = before; seq < tracker_->Completed(); ++seq)
          latencies_->push_back((lastCompletion_ - pubTime_[seq % 256]) * 1e6);
      break;
    }
  }
}

void Bench::PollOnce(int timeoutMs) { poller_.Poll(timeoutMs, handlers_); }

template <class Done>
void Bench::WaitUntil(Done done, double timeoutS, const char* what) {
  const double deadline = Now() + timeoutS;
  while (!done()) {
    if (Now() > deadline) throw std::runtime_error(std::string("timed out waiting for ") + what);
    PollOnce(50);
  }
}

// Keeps up to maxPending_ clients between connect and the end of their set-up.
void Bench::OpenPending(size_t target) {
  const size_t done = subscribeOnRegister_ ? subscribed_ : registered_;
  while (opened_ < target && opened_ - done < maxPending_) {
    poller_.Open(false);
    ++opened_;
  }
}

void Bench::SetUpFanOut(size_t subscribers) {
  publisher_ = &poller_.Open(true);
  WaitUntil([&] { return publisherReady_; }, 30, "the publisher to be registered and ready");
  tracker_ = std::make_unique<DeliveryTracker>(subscribers);
  subscribeOnRegister_ = true;
  const double timeout = 60 + 0.2 * static_cast<double>(subscribers);
  WaitUntil([&] {
    OpenPending(subscribers);
    return subscribed_ == subscribers;
  }, timeout, "the subscribers to register and subscribe");
}

RelayResult Bench::Relay(size_t window, double seconds, uint64_t maxMessages, bool keepLatencies) {
  if (!tracker_ || !publisher_) throw std::logic_error("Relay before SetUpFanOut");
  if (window == 0 || window > DeliveryTracker::kMaxWindow)
    throw std::runtime_error("the window must be 1 to " + std::to_string(DeliveryTracker::kMaxWindow));
  RelayResult r;
  keepLatencies_ = keepLatencies;
  latencies_ = &r.latencyUs;
  const uint64_t firstSeq = tracker_->Published();
  const uint64_t lossBefore = tracker_->Loss(), disorderBefore = tracker_->Disorder();
  const double start = Now();
  lastCompletion_ = start;
  double lastProgress = start;
  uint64_t lastCompleted = tracker_->Completed();
  bool publishing = true;
  for (;;) {
    const double now = Now();
    if (publishing && (now - start >= seconds || tracker_->Published() - firstSeq >= maxMessages))
      publishing = false;
    if (publishing && tracker_->InFlight() < window) {
      uint64_t room = window - tracker_->InFlight();
      room = std::min<uint64_t>(room, maxMessages - (tracker_->Published() - firstSeq));
      for (uint64_t i = 0; i < room; ++i) {
        pubTime_[tracker_->Published() % 256] = now;
        proto_.Publish(*publisher_, tracker_->Publish());
      }
      poller_.Flush(*publisher_);
    }
    if (!publishing && tracker_->InFlight() == 0) break;
    PollOnce(100);
    if (tracker_->Completed() != lastCompleted) {
      lastCompleted = tracker_->Completed();
      lastProgress = Now();
    } else if (Now() - lastProgress > 10) {
      throw std::runtime_error("stalled: " + std::to_string(tracker_->InFlight()) +
                               " messages never reached every subscriber (loss so far " +
                               std::to_string(tracker_->Loss() - lossBefore) + ")");
    }
  }
  r.messages = tracker_->Published() - firstSeq;
  size_t subs = 0;
  for (size_t i = 0; i < poller_.Count(); ++i) subs += poller_.At(i).subscribed ? 1 : 0;
  r.deliveries = r.messages * subs;
  r.seconds = lastCompletion_ - start;
  r.loss = tracker_->Loss() - lossBefore;
  r.disorder = tracker_->Disorder() - disorderBefore;
  latencies_ = nullptr;
  return r;
}

ScaleResult Bench::ConnectMany(size_t clients, pid_t serverPid) {
  ScaleResult r;
  r.clients = clients;
  if (serverPid > 0) r.rssBeforeKb = ReadRssKb(serverPid);
  const long dropsBefore = ReadListenDrops();
  const double start = Now();
  const double timeout = 60 + 0.2 * static_cast<double>(clients);
  WaitUntil([&] {
    OpenPending(clients);
    return registered_ == clients;
  }, timeout, "the clients to register");
  r.seconds = lastRegistered_ - start;
  const long dropsAfter = ReadListenDrops();
  if (dropsBefore >= 0 && dropsAfter >= 0) r.listenDrops = dropsAfter - dropsBefore;
  // Let the server finish what it still sends (announcements to earlier
  // clients) so that its memory is read at rest.
  const double settleEnd = Now() + 10;
  uint64_t seen = poller_.BytesIn();
  double quietSince = Now();
  while (Now() - quietSince < 0.3 && Now() < settleEnd) {
    PollOnce(50);
    if (poller_.BytesIn() != seen) {
      seen = poller_.BytesIn();
      quietSince = Now();
    }
  }
  if (serverPid > 0) r.rssAfterKb = ReadRssKb(serverPid);
  return r;
}

}  // namespace loadgen
