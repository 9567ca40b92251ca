#include "net/linux/EventLoop.h"

#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <cerrno>
#include <map>
#include <memory>
#include <system_error>
#include <unordered_map>
#include <utility>
#include <vector>

namespace toruna::net {

namespace {

// epoll data of the wake-up and delay descriptors; registrations put their id
// (from 1) in the upper half, so theirs are never this small.
constexpr uint64_t kWakeKey = 0;
constexpr uint64_t kDelayKey = 1;

// epoll data of a registration: its id above its descriptor, so that readiness
// is matched to the registration through the one record kept per descriptor.
uint64_t EpollKey(uint32_t id, int fd) { return (uint64_t{id} << 32) | static_cast<uint32_t>(fd); }
constexpr int kBatchSize = 64;
// Rounds of deferred work one ProcessReady runs; work deferred beyond them waits
// for the next call (Fd() stays readable), so a callback that always defers again
// cannot keep the loop from its descriptors.
constexpr int kDeferredRounds = 16;
// How long Run looks for the next event before it sleeps, while events come densely.
// The benchmark builds a variant with TORUNA_SPIN_US=0, which never looks, to weigh it.
#ifndef TORUNA_SPIN_US
#define TORUNA_SPIN_US 50
#endif
constexpr std::chrono::microseconds kSpinLimit{TORUNA_SPIN_US};
// A sleep shorter than this (its own wake-up included) means events come densely.
constexpr std::chrono::microseconds kDenseGap{1000};

using Clock = std::chrono::steady_clock;  // CLOCK_MONOTONIC, as the timers

[[noreturn]] void ThrowErrno(const char* what) {
  throw std::system_error(errno, std::generic_category(), what);
}

uint32_t ToEpoll(uint32_t interest) {
  uint32_t events = 0;
  if (interest & EventLoop::kReadable) events |= EPOLLIN | EPOLLRDHUP;
  if (interest & EventLoop::kWritable) events |= EPOLLOUT;
  if (interest & EventLoop::kHangUp) events |= EPOLLRDHUP;
  return events;
}

}  // namespace

struct EventLoop::Impl {
  // The one record of a descriptor, found by its number. Each Watch gives it a new
  // id, so readiness reported for an earlier registration of the same number is
  // recognised as stale and dropped.
  struct Registration {
    // The FdHandler, or (owned) the FdCallback the loop keeps; nullptr: not watched.
    void* target = nullptr;
    uint32_t id = 0;
    uint8_t interest = 0;
    bool inEpoll = false;
    bool held = false;  // stays in the set without interest (see Hold)
    bool owned = false;
  };
  struct Timer {
    int fd = -1;
    std::shared_ptr<std::function<void()>> callback;
    itimerspec period{};
  };

  int epollFd = -1;
  int wakeFd = -1;
  int delayFd = -1;
  bool wakeArmed = false;
  bool stopped = false;
  bool spinning = false;  // Run looks for events before it sleeps (see Run)
  uint32_t nextId = 1;
  TimerId nextTimer = 1;
  // Indexed by descriptor: descriptors are small numbers, densely used.
  std::vector<Registration> records;
  std::unordered_map<TimerId, Timer> timers;
  std::vector<std::function<void()>> deferred;
  std::multimap<Clock::time_point, std::function<void()>> delayed;
  Clock::time_point delayArmedFor{};
  // ProcessReady calls running (more than one while a callback runs a loop of its
  // own). Handlers the loop owns that are unwatched meanwhile may still be running
  // further up the stack: they are released when the outermost call returns.
  int depth = 0;
  std::vector<std::unique_ptr<FdCallback>> retired;

  Registration* Find(int fd) {
    if (fd < 0 || static_cast<size_t>(fd) >= records.size()) return nullptr;
    Registration& reg = records[static_cast<size_t>(fd)];
    return reg.target != nullptr ? &reg : nullptr;
  }

  // Puts the registration into the epoll set, changes it, or takes it out. A
  // descriptor with no interest leaves the set entirely: epoll reports hang-ups and
  // errors whatever the interest, and a dead socket nobody reads would keep it busy.
  // A held one stays, disarmed after at most one such report (one-shot).
  // False when epoll refuses the descriptor.
  bool Apply(int fd, Registration& reg) {
    if (reg.interest == 0 && !reg.held) {
      if (reg.inEpoll) epoll_ctl(epollFd, EPOLL_CTL_DEL, fd, nullptr);
      reg.inEpoll = false;
      return true;
    }
    epoll_event ev{};
    ev.events = reg.interest == 0 ? EPOLLONESHOT : ToEpoll(reg.interest);
    ev.data.u64 = EpollKey(reg.id, fd);
    int op = reg.inEpoll ? EPOLL_CTL_MOD : EPOLL_CTL_ADD;
    if (epoll_ctl(epollFd, op, fd, &ev) != 0) {
      // The set may disagree with our record when a descriptor was closed (and its
      // number reused) without Unwatch: epoll forgets a closed descriptor by itself.
      bool retry = (op == EPOLL_CTL_MOD && errno == ENOENT) || (op == EPOLL_CTL_ADD && errno == EEXIST);
      op = op == EPOLL_CTL_MOD ? EPOLL_CTL_ADD : EPOLL_CTL_MOD;
      if (!retry || epoll_ctl(epollFd, op, fd, &ev) != 0) {
        reg.inEpoll = false;
        return false;
      }
    }
    reg.inEpoll = true;
    return true;
  }

  void Release(Registration& reg) {
    if (reg.owned) {
      std::unique_ptr<FdCallback> callback(static_cast<FdCallback*>(reg.target));
      if (depth > 0) retired.push_back(std::move(callback));
    }
    reg = Registration{};
  }

  void Remove(int fd) {
    Registration* reg = Find(fd);
    if (reg == nullptr) return;
    if (reg->inEpoll) epoll_ctl(epollFd, EPOLL_CTL_DEL, fd, nullptr);
    Release(*reg);
  }

  void Add(int fd, uint32_t interest, void* target, bool owned) {
    if (fd < 0) {
      if (owned) delete static_cast<FdCallback*>(target);
      errno = EBADF;
      ThrowErrno("EventLoop: epoll_ctl");
    }
    Remove(fd);
    if (static_cast<size_t>(fd) >= records.size()) records.resize(static_cast<size_t>(fd) + 1);
    Registration& reg = records[static_cast<size_t>(fd)];
    reg.target = target;
    reg.owned = owned;
    reg.id = nextId++;
    if (nextId == 0) nextId = 1;  // ids start at 1 (see kDelayKey)
    reg.interest = static_cast<uint8_t>(interest & (kReadable | kWritable | kHangUp));
    if (!Apply(fd, reg)) {
      const int saved = errno;
      Release(reg);
      errno = saved;
      ThrowErrno("EventLoop: epoll_ctl");
    }
  }

  // Keeps the wake-up descriptor readable exactly while deferred work waits.
  void UpdateWake() {
    bool want = !deferred.empty();
    if (want == wakeArmed) return;
    uint64_t value = 1;
    if (want) {
      if (write(wakeFd, &value, sizeof value) != sizeof value) return;
    } else {
      if (read(wakeFd, &value, sizeof value) != sizeof value) return;
    }
    wakeArmed = want;
  }

  void Dispatch(const epoll_event& ev) {
    const int fd = static_cast<int>(static_cast<uint32_t>(ev.data.u64));
    Registration* reg = Find(fd);
    // Unwatched (or watched anew) earlier in this batch.
    if (reg == nullptr || reg->id != static_cast<uint32_t>(ev.data.u64 >> 32)) return;
    uint32_t ready = 0;
    if ((ev.events & EPOLLIN) && (reg->interest & kReadable)) ready |= kReadable;
    if ((ev.events & EPOLLOUT) && (reg->interest & kWritable)) ready |= kWritable;
    if (ev.events & (EPOLLRDHUP | EPOLLHUP)) ready |= kHangUp;
    if (ev.events & EPOLLERR) ready |= kFailed;
    // A held descriptor without interest may report a hang-up once; nobody asked.
    if (ready == 0 || !reg->inEpoll || reg->interest == 0) return;
    // The record may move (more descriptors watched) or go while the handler runs;
    // a callback of ours that is unwatched meanwhile is retired, not released.
    void* target = reg->target;
    if (reg->owned) {
      (*static_cast<FdCallback*>(target))(ready);
    } else {
      static_cast<FdHandler*>(target)->OnFdReady(fd, ready);
    }
  }

  // Runs the work deferred so far, then what that work deferred, for a bounded
  // number of rounds; what is left makes Fd() readable for the next call.
  void RunDeferred() {
    for (int round = 0; round < kDeferredRounds && !deferred.empty(); ++round) {
      std::vector<std::function<void()>> batch;
      batch.swap(deferred);
      for (std::function<void()>& work : batch) {
        std::function<void()> fn = std::move(work);
        fn();
      }
      // Keep the larger buffer for the next round's work.
      batch.clear();
      if (deferred.empty() && deferred.capacity() < batch.capacity()) deferred.swap(batch);
    }
  }

  void ArmDelay() {
    Clock::time_point next = delayed.empty() ? Clock::time_point{} : delayed.begin()->first;
    if (next == delayArmedFor) return;
    delayArmedFor = next;
    itimerspec when{};
    if (!delayed.empty()) {
      const auto since = next.time_since_epoch();
      const auto s = std::chrono::duration_cast<std::chrono::seconds>(since);
      when.it_value.tv_sec = static_cast<time_t>(s.count());
      when.it_value.tv_nsec = static_cast<long>(std::chrono::duration_cast<std::chrono::nanoseconds>(since - s).count());
      if (when.it_value.tv_sec == 0 && when.it_value.tv_nsec == 0) when.it_value.tv_nsec = 1;  // 0 disarms
    }
    timerfd_settime(delayFd, TFD_TIMER_ABSTIME, &when, nullptr);
  }

  void RunDelayed() {
    uint64_t expirations = 0;
    if (read(delayFd, &expirations, sizeof expirations) < 0) expirations = 0;
    delayArmedFor = Clock::time_point{};  // it fired
    // Take what is due first: the callbacks may delay more work.
    std::vector<std::function<void()>> due;
    const Clock::time_point now = Clock::now();
    while (!delayed.empty() && delayed.begin()->first <= now) {
      due.push_back(std::move(delayed.begin()->second));
      delayed.erase(delayed.begin());
    }
    ArmDelay();
    for (std::function<void()>& work : due) work();
  }
};

EventLoop::EventLoop() : impl_(new Impl) {
  auto fail = [this](const char* what) {
    int saved = errno;
    if (impl_->delayFd >= 0) close(impl_->delayFd);
    if (impl_->wakeFd >= 0) close(impl_->wakeFd);
    if (impl_->epollFd >= 0) close(impl_->epollFd);
    delete impl_;
    errno = saved;
    ThrowErrno(what);
  };
  impl_->epollFd = epoll_create1(EPOLL_CLOEXEC);
  if (impl_->epollFd < 0) fail("EventLoop: epoll_create1");
  impl_->wakeFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  epoll_event ev{};
  ev.events = EPOLLIN;
  ev.data.u64 = kWakeKey;
  if (impl_->wakeFd < 0 || epoll_ctl(impl_->epollFd, EPOLL_CTL_ADD, impl_->wakeFd, &ev) != 0) {
    fail("EventLoop: eventfd");
  }
  impl_->delayFd = timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
  ev.data.u64 = kDelayKey;
  if (impl_->delayFd < 0 || epoll_ctl(impl_->epollFd, EPOLL_CTL_ADD, impl_->delayFd, &ev) != 0) {
    fail("EventLoop: timerfd_create");
  }
}

EventLoop::~EventLoop() {
  for (auto& [id, timer] : impl_->timers) close(timer.fd);
  for (Impl::Registration& reg : impl_->records) {
    if (reg.owned) delete static_cast<FdCallback*>(reg.target);
  }
  close(impl_->delayFd);
  close(impl_->wakeFd);
  close(impl_->epollFd);
  delete impl_;
}

void EventLoop::Watch(int fd, uint32_t interest, FdCallback callback) {
  impl_->Add(fd, interest, new FdCallback(std::move(callback)), true);
}

void EventLoop::Watch(int fd, uint32_t interest, FdHandler& handler) {
  impl_->Add(fd, interest, static_cast<FdHandler*>(&handler), false);
}

bool EventLoop::Modify(int fd, uint32_t interest) {
  Impl::Registration* reg = impl_->Find(fd);
  if (reg == nullptr) return true;
  interest &= kReadable | kWritable | kHangUp;
  if (reg->interest == interest) return true;
  reg->interest = static_cast<uint8_t>(interest);
  return impl_->Apply(fd, *reg);
}

void EventLoop::Unwatch(int fd) { impl_->Remove(fd); }

bool EventLoop::Hold(int fd) {
  Impl::Registration* reg = impl_->Find(fd);
  if (reg == nullptr) {
    errno = EBADF;
    return false;
  }
  reg->held = true;
  if (reg->inEpoll) return true;
  if (impl_->Apply(fd, *reg)) return true;
  reg->held = false;
  return false;
}

EventLoop::TimerId EventLoop::AddTimer(std::chrono::milliseconds interval,
                                       std::function<void()> callback) {
  int fd = timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
  if (fd < 0) ThrowErrno("EventLoop: timerfd_create");
  long long ms = interval.count() > 0 ? interval.count() : 1;  // 0 would disarm the timer
  itimerspec period{};
  period.it_interval.tv_sec = ms / 1000;
  period.it_interval.tv_nsec = (ms % 1000) * 1000000;
  period.it_value = period.it_interval;
  timerfd_settime(fd, 0, &period, nullptr);

  TimerId id = impl_->nextTimer++;
  auto shared = std::make_shared<std::function<void()>>(std::move(callback));
  impl_->timers[id] = Impl::Timer{fd, shared, period};
  Watch(fd, kReadable, [fd, shared](uint32_t) {
    // Expirations missed while the loop was busy are folded into one call.
    uint64_t expirations = 0;
    if (read(fd, &expirations, sizeof expirations) != sizeof expirations) return;
    std::shared_ptr<std::function<void()>> keep = shared;
    (*keep)();
  });
  return id;
}

void EventLoop::CancelTimer(TimerId id) {
  auto it = impl_->timers.find(id);
  if (it == impl_->timers.end()) return;
  int fd = it->second.fd;
  impl_->timers.erase(it);
  Unwatch(fd);
  close(fd);
}

void EventLoop::StopTimer(TimerId id) {
  auto it = impl_->timers.find(id);
  if (it == impl_->timers.end()) return;
  const itimerspec off{};
  timerfd_settime(it->second.fd, 0, &off, nullptr);
  // An expiration already counted must not call either.
  uint64_t expirations = 0;
  if (read(it->second.fd, &expirations, sizeof expirations) < 0) expirations = 0;
}

void EventLoop::StartTimer(TimerId id) {
  auto it = impl_->timers.find(id);
  if (it == impl_->timers.end()) return;
  timerfd_settime(it->second.fd, 0, &it->second.period, nullptr);
}

void EventLoop::Defer(std::function<void()> callback) {
  impl_->deferred.push_back(std::move(callback));
  // Inside ProcessReady the work runs before it returns; the wake-up descriptor is
  // only for work deferred from outside (or left over), and each use costs two calls.
  if (impl_->depth == 0) impl_->UpdateWake();
}

void EventLoop::DeferFor(std::chrono::microseconds delay, std::function<void()> callback) {
  if (delay.count() < 0) delay = std::chrono::microseconds(0);
  impl_->delayed.emplace(Clock::now() + delay, std::move(callback));
  impl_->ArmDelay();
}

void EventLoop::BeforeNestedLoop() { impl_->UpdateWake(); }

void EventLoop::Run() {
  // While events come close together, the loop looks for the next one for a short
  // while before it sleeps: waking a sleeping thread (a halted processor, on a
  // virtual machine) takes longer than the gap it would sleep through. It stops
  // looking as soon as a look finds nothing, until a short sleep shows that events
  // come densely again (more than a thousand a second), so an idle or lightly used
  // server does not spin.
  while (!impl_->stopped) {
    if (impl_->spinning) {
      const Clock::time_point until = Clock::now() + kSpinLimit;
      bool found = false;
      do {
        found = Poll(0) > 0;
      } while (!found && !impl_->stopped && Clock::now() < until);
      if (found) continue;
      impl_->spinning = false;
    }
    const Clock::time_point before = Clock::now();
    if (Poll(-1) > 0 && kSpinLimit.count() > 0 && Clock::now() - before < kDenseGap)
      impl_->spinning = true;
  }
}

void EventLoop::Stop() { impl_->stopped = true; }

bool EventLoop::Stopped() const { return impl_->stopped; }

int EventLoop::Fd() const { return impl_->epollFd; }

void EventLoop::ProcessReady(int timeoutMs) { Poll(timeoutMs); }

int EventLoop::Poll(int timeoutMs) {
  if (!impl_->deferred.empty()) timeoutMs = 0;
  epoll_event events[kBatchSize];
  int n = epoll_wait(impl_->epollFd, events, kBatchSize, timeoutMs);
  struct Depth {
    Impl& impl;
    explicit Depth(Impl& i) : impl(i) { ++impl.depth; }
    ~Depth() {
      if (--impl.depth == 0) impl.retired.clear();
    }
  } depth(*impl_);
  for (int i = 0; i < n; ++i) {
    if (events[i].data.u64 == kWakeKey) continue;  // only a reminder that work was deferred
    if (events[i].data.u64 == kDelayKey) {
      impl_->RunDelayed();
      continue;
    }
    impl_->Dispatch(events[i]);
  }
  impl_->RunDeferred();
  impl_->UpdateWake();
  return n;
}

}  // namespace toruna::net
