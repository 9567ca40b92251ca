#include "Bench.h"

#include <algorithm>
#include <stdexcept>
#include <string>

namespace loadgen {

Bench::Bench(Protocol& proto, uint16_t port, size_t maxPending, pid_t serverPid)
    : proto_(proto), poller_(port), maxPending_(maxPending ? maxPending : 1), serverPid_(serverPid) {
  handlers_.connected = [this](Connection& c) {
    proto_.Start(c);
    if (&c == newcomer_) {
      // A newcomer's clock starts as its registration leaves, not at connect.
      sentAt_ = Now();
      poller_.Flush(c);
    }
  };
  handlers_.received = [this](Connection& c, const uint8_t* data, size_t n) { return OnReceived(c, data, n); };
}

size_t Bench::OnReceived(Connection& c, const uint8_t* data, size_t n) {
  long used = proto_.Parse(c, data, n, *this);
  if (used < 0)
    throw std::runtime_error(std::string("malformed ") + proto_.Name() + " data on connection " +
                             std::to_string(c.index));
  return static_cast<size_t>(used);
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
      if (&c == newcomer_) registeredAt_ = lastRegistered_;
      if (join_ == Join::Subscribe) proto_.Subscribe(c);
      else if (join_ == Join::Own) proto_.Own(c);
      else ++crowdReady_;
      break;
    case Signal::PublisherReady:
      publisherReady_ = true;
      break;
    case Signal::Subscribed:
      if (!c.subscribed && !c.isPublisher) {
        c.subscribed = true;
        ++crowdReady_;
      }
      break;
    case Signal::Owned:
      if (!c.owned && !c.isPublisher) {
        c.owned = true;
        ++crowdReady_;
      }
      break;
    case Signal::Delivery: {
      if (!tracker_ || !c.subscribed)
        throw std::runtime_error("a delivery to a connection that did not subscribe");
      tracker_->Deliver(&c.next, value);
      const uint64_t before = tracker_->Completed();
      if (tracker_->Collect() == 0) break;
      lastCompletion_ = Now();
      if (latencies_)
        for (uint64_t seq = before; seq < tracker_->Completed(); ++seq)
          latencies_->push_back((lastCompletion_ - pubTime_[seq % 256]) * 1e6);
      break;
    }
  }
}

void Bench::OnAnnounced(Connection& c, std::string_view name) {
  if (!newcomer_) return;
  if (&c == newcomer_) {
    if (!c.registered) ++rosterSeen_;
    return;
  }
  if (c.index >= watchers_ || name != newcomerName_) return;
  if (toldInRound_[c.index] == round_)
    throw std::runtime_error("watcher " + std::to_string(c.index) + " was told of " + newcomerName_ +
                             " twice");
  toldInRound_[c.index] = round_;
  if (++told_ == watchers_) allToldAt_ = Now();
}

void Bench::OnGone(Connection& c) {
  if (c.isPublisher || c.subscribed) ++goneToSteady_;
}

void Bench::PollOnce(int timeoutMs) { poller_.Poll(timeoutMs, handlers_); }

void Bench::Settle(double quietS, double maxS) {
  const double end = Now() + maxS;
  uint64_t seen = poller_.BytesIn();
  double quietSince = Now();
  while (Now() - quietSince < quietS && Now() < end) {
    PollOnce(50);
    if (poller_.BytesIn() != seen) {
      seen = poller_.BytesIn();
      quietSince = Now();
    }
  }
}

template <class Done>
void Bench::WaitUntil(Done done, double timeoutS, const char* what) {
  const double deadline = Now() + timeoutS;
  while (!done()) {
    if (Now() > deadline) throw std::runtime_error(std::string("timed out waiting for ") + what);
    PollOnce(50);
  }
}

void Bench::Crowd(size_t n, Join how, const char* what) {
  join_ = how;
  crowdOpened_ = crowdReady_ = 0;
  WaitUntil([&] {
    while (crowdOpened_ < n && crowdOpened_ - crowdReady_ < maxPending_) {
      poller_.Open(false);
      ++opened_;
      ++crowdOpened_;
    }
    return crowdReady_ == n;
  }, 60 + 0.2 * static_cast<double>(n), what);
  join_ = Join::Idle;
}

void Bench::SetUpFanOut(size_t subscribers) {
  publisher_ = &poller_.Open(true);
  WaitUntil([&] { return publisherReady_; }, 30, "the publisher to be registered and ready");
  tracker_ = std::make_unique<DeliveryTracker>(subscribers);
  Crowd(subscribers, Join::Subscribe, "the subscribers to register and subscribe");
}

size_t Bench::Subscribers() {
  size_t subs = 0;
  for (size_t i = 0; i < poller_.Count(); ++i) subs += poller_.At(i).subscribed ? 1 : 0;
  return subs;
}

RelayResult Bench::Relay(size_t window, double seconds, uint64_t maxMessages, bool keepLatencies) {
  if (!tracker_ || !publisher_) throw std::logic_error("Relay before SetUpFanOut");
  if (window == 0 || window > DeliveryTracker::kMaxWindow)
    throw std::runtime_error("the window must be 1 to " + std::to_string(DeliveryTracker::kMaxWindow));
  RelayResult r;
  latencies_ = keepLatencies ? &r.latencyUs : nullptr;
  CpuMeter meter(serverPid_);
  meter.Start();
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
  r.cpu = meter.Read();
  r.messages = tracker_->Published() - firstSeq;
  r.deliveries = r.messages * Subscribers();
  r.seconds = lastCompletion_ - start;
  r.loss = tracker_->Loss() - lossBefore;
  r.disorder = tracker_->Disorder() - disorderBefore;
  latencies_ = nullptr;
  return r;
}

ScaleResult Bench::ConnectMany(size_t clients) {
  ScaleResult r;
  r.clients = clients;
  if (serverPid_ > 0) r.rssColdKb = ReadRssKb(serverPid_);
  // One window of handshakes first, not counted: what the first burst costs once
  // (code and data pages touched for the first time, allocator arenas) is no
  // client's, and would otherwise be shared out among the clients, the more the fewer.
  r.warmup = maxPending_;
  Crowd(r.warmup, Join::Idle, "the warm-up clients to register");
  Settle(0.5, 10);
  if (serverPid_ > 0) r.rssBeforeKb = ReadRssKb(serverPid_);
  const long dropsBefore = ReadListenDrops();
  CpuMeter meter(serverPid_);
  meter.Start();
  const double start = Now();
  Crowd(clients, Join::Idle, "the clients to register");
  r.seconds = lastRegistered_ - start;
  r.cpu = meter.Read();
  const long dropsAfter = ReadListenDrops();
  if (dropsBefore >= 0 && dropsAfter >= 0) r.listenDrops = dropsAfter - dropsBefore;
  // Read the memory at rest: the server first finishes what it still sends
  // (announcements to earlier clients), and servers give back the memory of a
  // burst on their own schedule (garbage collectors, allocator trims), so
  // idle means some time after the last byte, the same for every server.
  Settle(1.5, 20);
  // The quiet time costs an idle server next to nothing.
  r.settledCpuS = meter.Read().cpuS;
  if (serverPid_ > 0) r.rssAfterKb = ReadRssKb(serverPid_);
  return r;
}

AnnounceResult Bench::Announce(size_t watchers, uint64_t newcomers) {
  if (!proto_.AnnouncesClients())
    throw std::logic_error(std::string(proto_.Name()) + " does not announce clients");
  if (watchers == 0) throw std::logic_error("the announce scenario needs a watcher");
  AnnounceResult r;
  r.watchers = watchers;
  Crowd(watchers, Join::Idle, "the watchers to register");
  // The watchers' announcements of one another must not queue ahead of the
  // first newcomer's.
  Settle(0.2, 10);
  watchers_ = watchers;
  toldInRound_.assign(watchers, 0);
  for (uint64_t k = 0; k < newcomers; ++k) {
    ++round_;
    told_ = 0;
    rosterSeen_ = 0;
    sentAt_ = registeredAt_ = allToldAt_ = 0;
    newcomer_ = &poller_.Open(false);
    ++opened_;
    newcomerName_ = proto_.ClientName(*newcomer_);
    WaitUntil([&] { return registeredAt_ > 0 && told_ == watchers; }, 10,
              "a newcomer to register and every watcher to be told of it");
    r.registrationUs.push_back((registeredAt_ - sentAt_) * 1e6);
    r.announcementUs.push_back((allToldAt_ - sentAt_) * 1e6);
    // Everyone registered before it: the watchers and the earlier newcomers.
    if (rosterSeen_ != watchers + k) ++r.rosterErrors;
  }
  newcomer_ = nullptr;
  return r;
}

}  // namespace loadgen
