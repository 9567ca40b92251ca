#include "Soak.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <stdexcept>

#include "ServerProbe.h"

namespace soak {

namespace {

constexpr int kValuesPerRound = 4;
constexpr unsigned kMaxRounds = 8;
constexpr double kPauseMin = 0.005, kPauseSpread = 0.020;  // 5 to 25 ms between rounds
constexpr int kSteadySubscribers = 3;
constexpr double kStuckSeconds = 15;
constexpr double kPublishEvery = 0.002;

const char* StateName(int s) {
  static const char* names[] = {"connecting", "registering", "creating", "subscribing",
                                "publishing", "pausing", "unsubscribing", "steady"};
  return names[s];
}

}  // namespace

Soak::Soak(const Options& options) : options_(options), random_(options.seed) {
  epfd_ = epoll_create1(EPOLL_CLOEXEC);
  if (epfd_ < 0) throw std::runtime_error(std::string("epoll_create1: ") + strerror(errno));
  slots_.resize(static_cast<size_t>(options_.clients));
}

Soak::~Soak() {
  for (auto& c : slots_) if (c && c->fd >= 0) close(c->fd);
  for (auto& c : stayers_) if (c && c->fd >= 0) close(c->fd);
  close(epfd_);
}

double Soak::Now() const {
  using namespace std::chrono;
  return duration<double>(steady_clock::now().time_since_epoch()).count();
}

void Soak::Fail(const Conn& c, const std::string& what) const {
  const std::string who = c.stayer ? (c.publisher ? "steady publisher" : "steady subscriber")
                                   : "client " + std::to_string(c.slot);
  throw std::runtime_error(who + " (" + StateName(static_cast<int>(c.state)) + "): " + what);
}

void Soak::Open(int slot, bool stayer, bool publisher) {
  auto c = std::make_unique<Conn>();
  c->slot = slot;
  c->stayer = stayer;
  c->publisher = publisher;
  c->since = Now();
  c->fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (c->fd < 0) throw std::runtime_error(std::string("socket: ") + strerror(errno));
  int one = 1;
  setsockopt(c->fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  if (!stayer) {
    // Each slot connects from an address of its own in 127/8, so that the
    // connections it closed (waiting out TIME_WAIT) never run its ports out.
    setsockopt(c->fd, IPPROTO_IP, IP_BIND_ADDRESS_NO_PORT, &one, sizeof one);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(0x7F000002u + static_cast<uint32_t>(slot % 250) * 256u);
    if (bind(c->fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
      throw std::runtime_error(std::string("bind: ") + strerror(errno));
    }
  }
  sockaddr_in server{};
  server.sin_family = AF_INET;
  server.sin_port = htons(options_.port);
  server.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(c->fd, reinterpret_cast<sockaddr*>(&server), sizeof server) != 0 && errno != EINPROGRESS) {
    throw std::runtime_error(std::string("connect: ") + strerror(errno));
  }
  epoll_event ev{};
  ev.events = EPOLLOUT;
  ev.data.ptr = c.get();
  epoll_ctl(epfd_, EPOLL_CTL_ADD, c->fd, &ev);
  c->writeArmed = true;
  if (stayer) {
    stayers_.push_back(std::move(c));
  } else {
    slots_[static_cast<size_t>(slot)] = std::move(c);
  }
}

void Soak::Enter(Conn& c, State s) {
  c.state = s;
  c.since = Now();
}

void Soak::Flush(Conn& c) {
  while (c.outOff < c.out.size()) {
    const ssize_t n = send(c.fd, c.out.data() + c.outOff, c.out.size() - c.outOff, MSG_NOSIGNAL);
    if (n > 0) {
      c.outOff += static_cast<size_t>(n);
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      break;
    } else {
      Fail(c, std::string("send: ") + strerror(errno));
    }
  }
  if (c.outOff == c.out.size()) {
    c.out.clear();
    c.outOff = 0;
  }
  const bool want = c.outOff < c.out.size();
  if (want != c.writeArmed && c.state != State::Connecting) {
    epoll_event ev{};
    ev.events = EPOLLIN | (want ? EPOLLOUT : 0u);
    ev.data.ptr = &c;
    epoll_ctl(epfd_, EPOLL_CTL_MOD, c.fd, &ev);
    c.writeArmed = want;
  }
}

void Soak::Receive(Conn& c) {
  uint8_t buf[65536];
  const ssize_t n = recv(c.fd, buf, sizeof buf, 0);
  if (n == 0) Fail(c, "the server closed the connection");
  if (n < 0) {
    if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return;
    Fail(c, std::string("recv: ") + strerror(errno));
  }
  c.in.insert(c.in.end(), buf, buf + n);
  size_t at = 0;
  FrameRef f;
  for (;;) {
    const Cut cut = NextFrame(c.in, at, f);
    if (cut == Cut::Broken) Fail(c, "the server's bytes lost their framing");
    if (cut == Cut::NeedMore) break;
    OnFrame(c, f);
    if (c.fd < 0) return;  // it left
  }
  c.in.erase(c.in.begin(), c.in.begin() + static_cast<std::ptrdiff_t>(at));
}

void Soak::OnFrame(Conn& c, const FrameRef& f) {
  auto need = [&](size_t size) {
    if (f.size != size) Fail(c, "frame of type " + std::to_string(f.type) + " with " + std::to_string(f.size) + " payload bytes");
  };
  switch (f.type) {
    case kServerInfo:
      if (c.state != State::Registering) Fail(c, "server name out of turn");
      if (c.stayer && !c.publisher) {
        c.subscribedTo = stayers_[0]->eventId;
        AppendIdFrame(c.out, kEventSubscribe, c.subscribedTo, 1);
        AppendBarrier(c.out);
        c.barriers = 1;
        Enter(c, State::Subscribing);
      } else {
        AppendCreate(c.out, c.slot + 1, "e" + std::to_string(c.slot));
        Enter(c, State::Creating);
      }
      break;
    case kEventCreated: {
      need(8);
      if (c.state != State::Creating) Fail(c, "event created out of turn");
      c.eventId = Get32(f.payload + 4);
      if (c.publisher) {
        Enter(c, State::Steady);
        break;
      }
      // Another slot's event to subscribe to, if any is up.
      int32_t target = 0;
      for (int tries = 0; tries < 4 && !liveEvents_.empty(); ++tries) {
        const int32_t e = liveEvents_[random_() % liveEvents_.size()];
        if (e != c.eventId) {
          target = e;
          break;
        }
      }
      liveEvents_.push_back(c.eventId);
      c.barriers = 1;
      if (target != 0) {
        c.subscribedTo = target;
        c.lastValue = -1;
        AppendIdFrame(c.out, kEventSubscribe, target, 1);
        AppendBarrier(c.out);
        Enter(c, State::Subscribing);
      } else {
        AppendBarrier(c.out);
        Enter(c, State::Subscribing);
      }
      break;
    }
    case kEventSubscribe:
      need(5);
      if (Get32(f.payload) == kNobody && f.payload[4] == 0) OnBarrier(c);
      break;
    case kEventData:
      need(5);
      OnValue(c, Get32(f.payload), f.payload[4]);
      break;
    case kClientGone:
    case kEventRemove:
      need(4);
      break;
    case kClientInfo:
    case kEventInfo:
      break;
    default:
      Fail(c, "unknown frame type " + std::to_string(f.type));
  }
}

void Soak::OnBarrier(Conn& c) {
  if (--c.barriers > 0) return;
  if (c.barriers < 0) Fail(c, "a barrier answer nobody asked for");
  switch (c.state) {
    case State::Subscribing:
      if (c.stayer) {
        Enter(c, State::Steady);
        break;
      }
      // A client stays for a few rounds with pauses between them, so that the
      // server holds many clients at once.
      c.rounds = 1 + static_cast<int>(random_() % kMaxRounds);
      PublishRound(c);
      break;
    case State::Publishing:
      if (c.rounds > 0) {
        c.resumeAt = Now() + kPauseMin + kPauseSpread * static_cast<double>(random_() % 1000) / 1000.0;
        Enter(c, State::Pausing);
      } else if (c.subscribedTo != 0 && random_() % 4 != 0) {
        AppendIdFrame(c.out, kEventSubscribe, c.subscribedTo, 0);
        AppendBarrier(c.out);
        c.barriers = 1;
        Enter(c, State::Unsubscribing);
      } else {
        if (c.subscribedTo != 0) ++totals_.skippedUnsubscribe;
        Leave(c);
      }
      break;
    case State::Unsubscribing:
      c.leftEvent = c.subscribedTo;
      c.subscribedTo = 0;
      Leave(c);
      break;
    default:
      break;  // the final barriers of the steady clients
  }
}

void Soak::PublishRound(Conn& c) {
  --c.rounds;
  for (int v = 0; v < kValuesPerRound; ++v) AppendIdFrame(c.out, kEventData, c.eventId, c.nextValue++);
  AppendBarrier(c.out);
  c.barriers = 1;
  Enter(c, State::Publishing);
}

void Soak::ResumePaused() {
  const double now = Now();
  for (auto& c : slots_) {
    if (c && c->fd >= 0 && c->state == State::Pausing && now >= c->resumeAt) {
      PublishRound(*c);
      Flush(*c);
    }
  }
}

void Soak::OnValue(Conn& c, int32_t event, uint8_t value) {
  if (c.stayer) {
    if (c.publisher || event != stayers_[0]->eventId) Fail(c, "a value of an event it did not subscribe to");
    if (value != static_cast<uint8_t>(c.received)) {
      Fail(c, "steady value " + std::to_string(value) + " where " +
                  std::to_string(static_cast<uint8_t>(c.received)) + " was due: lost or out of order");
    }
    ++c.received;
    ++totals_.stayerDelivered;
    return;
  }
  if (event != c.subscribedTo || event == 0) {
    Fail(c, event == c.leftEvent ? "a value after its unsubscription was answered"
                                 : "a value of an event it did not subscribe to");
  }
  if (c.lastValue >= 0 && value != c.lastValue + 1) {
    Fail(c, "value " + std::to_string(value) + " after " + std::to_string(c.lastValue) + ": lost or out of order");
  }
  c.lastValue = value;
  ++totals_.valuesSeen;
}

void Soak::Leave(Conn& c) {
  Flush(c);
  const unsigned mode = random_() % 4;
  if (mode >= 2) {
    // Half a frame: the server must drop it with the connection.
    std::vector<uint8_t> frame;
    AppendIdFrame(frame, kEventData, c.eventId, 1);
    (void)!send(c.fd, frame.data(), 1 + random_() % 8, MSG_NOSIGNAL);
    ++totals_.midFrame;
  }
  if (mode % 2 == 1) {
    linger reset{1, 0};  // RST instead of FIN
    setsockopt(c.fd, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
    ++totals_.resets;
  }
  close(c.fd);
  c.fd = -1;
  if (auto it = std::find(liveEvents_.begin(), liveEvents_.end(), c.eventId); it != liveEvents_.end()) {
    *it = liveEvents_.back();
    liveEvents_.pop_back();
  }
  ++totals_.cycles;
}

void Soak::Poll(int timeoutMs) {
  epoll_event events[256];
  const int n = epoll_wait(epfd_, events, 256, timeoutMs);
  if (n < 0 && errno != EINTR) throw std::runtime_error(std::string("epoll_wait: ") + strerror(errno));
  for (int i = 0; i < n; ++i) {
    Conn& c = *static_cast<Conn*>(events[i].data.ptr);
    if (c.fd < 0) continue;  // left earlier in this batch
    if (c.state == State::Connecting) {
      int err = 0;
      socklen_t len = sizeof err;
      getsockopt(c.fd, SOL_SOCKET, SO_ERROR, &err, &len);
      if (err != 0) Fail(c, std::string("connect: ") + strerror(err));
      AppendRegistration(c.out, (c.stayer ? "steady" : "churn") + std::to_string(c.slot) + "." +
                                     std::to_string(generation_++));
      Enter(c, State::Registering);
      Flush(c);  // and from now on watch for reading
      continue;
    }
    if (events[i].events & (EPOLLIN | EPOLLHUP | EPOLLERR)) Receive(c);
    if (c.fd >= 0) Flush(c);
  }
  // Slots whose client left start their next cycle.
  joining_ = 0;
  for (const auto& c : slots_) {
    if (c && c->fd >= 0 && (c->state == State::Connecting || c->state == State::Registering)) ++joining_;
  }
  for (size_t s = 0; s < slots_.size(); ++s) {
    if (slots_[s] && slots_[s]->fd < 0) slots_[s].reset();
    if (!slots_[s] && churning_ && joining_ < options_.maxJoining) {
      Open(static_cast<int>(s), false, false);
      ++joining_;
    }
  }
}

void Soak::Progress(bool force) {
  const double now = Now();
  if (!force && now - lastProgress_ < options_.progress) return;
  const double rate = (static_cast<double>(totals_.cycles) - lastProgressCycles_) /
                      std::max(1e-9, now - lastProgress_);
  ServerProbe probe(options_.serverPid);
  const std::optional<long> registered = ServerProbe::RegisteredCount(500);
  std::printf("soak: %llu cycles, %.0f cycles/s, server fds %ld, rss %ld kB, registered %ld\n",
              static_cast<unsigned long long>(totals_.cycles), rate, probe.Descriptors(),
              probe.RssKb(), registered.value_or(-1));
  std::fflush(stdout);
  lastProgress_ = now;
  lastProgressCycles_ = static_cast<double>(totals_.cycles);
}

void Soak::CheckStuck() {
  const double now = Now();
  auto check = [&](const std::unique_ptr<Conn>& c) {
    if (c && c->fd >= 0 && c->state != State::Steady && c->state != State::Pausing &&
        now - c->since > kStuckSeconds) {
      Fail(*c, "no answer for " + std::to_string(static_cast<int>(now - c->since)) + " s");
    }
  };
  for (const auto& c : slots_) check(c);
  for (const auto& c : stayers_) check(c);
}

Totals Soak::Run() {
  start_ = lastProgress_ = Now();
  auto until = [&](auto done, const char* what) {
    const double deadline = Now() + kStuckSeconds;
    while (!done()) {
      if (Now() > deadline) throw std::runtime_error(std::string("timed out waiting for ") + what);
      Poll(10);
    }
  };
  churning_ = false;
  Open(-1, true, true);
  until([&] { return stayers_[0]->state == State::Steady; }, "the steady publisher's event");
  for (int i = 0; i < kSteadySubscribers; ++i) Open(-2 - i, true, false);
  until([&] {
    return std::all_of(stayers_.begin(), stayers_.end(), [](const auto& c) { return c->state == State::Steady; });
  }, "the steady subscribers");

  churning_ = true;
  double lastCheck = Now();
  while (totals_.cycles < options_.cycles && Now() - start_ < options_.seconds) {
    Poll(2);
    ResumePaused();
    Conn& publisher = *stayers_[0];
    if (Now() - lastPublish_ >= kPublishEvery) {
      AppendIdFrame(publisher.out, kEventData, publisher.eventId, publisher.nextValue++);
      ++totals_.stayerPublished;
      Flush(publisher);
      lastPublish_ = Now();
    }
    Progress(false);
    if (Now() - lastCheck > 1) {
      CheckStuck();
      lastCheck = Now();
    }
  }
  totals_.elapsed = Now() - start_;
  FinishSteady();
  Progress(true);
  return totals_;
}

void Soak::FinishSteady() {
  churning_ = false;
  const uint64_t cycles = totals_.cycles;
  for (auto& c : slots_) {
    if (c && c->fd >= 0) {
      close(c->fd);
      c->fd = -1;
    }
    c.reset();
  }
  totals_.cycles = cycles;
  // Once the publisher's barrier is answered every value it sent has been
  // relayed; a subscriber's barrier after that comes back behind them.
  Conn& publisher = *stayers_[0];
  publisher.barriers = 1;
  AppendBarrier(publisher.out);
  Flush(publisher);
  const double deadline = Now() + kStuckSeconds;
  auto wait = [&](auto done) {
    while (!done()) {
      if (Now() > deadline) throw std::runtime_error("timed out waiting for the steady clients' last values");
      Poll(10);
    }
  };
  wait([&] { return publisher.barriers == 0; });
  for (size_t i = 1; i < stayers_.size(); ++i) {
    stayers_[i]->barriers = 1;
    AppendBarrier(stayers_[i]->out);
    Flush(*stayers_[i]);
  }
  wait([&] {
    return std::all_of(stayers_.begin() + 1, stayers_.end(), [](const auto& c) { return c->barriers == 0; });
  });
  for (size_t i = 1; i < stayers_.size(); ++i) {
    if (stayers_[i]->received != totals_.stayerPublished) {
      Fail(*stayers_[i], "got " + std::to_string(stayers_[i]->received) + " of " +
                             std::to_string(totals_.stayerPublished) + " steady values");
    }
  }
  for (auto& c : stayers_) {
    close(c->fd);
    c->fd = -1;
  }
}

}  // namespace soak
