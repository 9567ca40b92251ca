#include "loop/EventLoop.h"

#include <sys/eventfd.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <cerrno>
#include <memory>
#include <system_error>
#include <utility>
#include <vector>

#include "loop/EpollPoller.h"
#include "loop/TimerQueue.h"

namespace toruna::loop {

namespace {

// Keys of the wake-up and timer descriptors; registrations put their id (from 1)
// in the upper half, so theirs are never this small.
constexpr uint64_t kWakeKey = 0;
constexpr uint64_t kTimerKey = 1;

// The key of a registration: its id above its descriptor, so that readiness is
// matched to the registration through the one record kept per descriptor.
uint64_t RegistrationKey(uint32_t id, int fd) { return (uint64_t{id} << 32) | static_cast<uint32_t>(fd); }
constexpr int kBatchSize = 64;
// Rounds of deferred work one ProcessReady runs; work deferred beyond them waits
// for the next call (Fd() stays readable), so a callback that always defers again
// cannot keep the loop from its descriptors.
constexpr int kDeferredRounds = 16;
// How long Run looks for the next event before it sleeps, while events come densely.
// 0, never: measured against a 50 us look, it cost 30-90% more processor time per
// value at 1000-5000 values a second and per delivery at 1 and 10 subscribers, and
// raised no fan-out rate beyond the noise. The benchmark builds a variant with
// TORUNA_SPIN_US=50 (toruna-spin) to weigh it again.
#ifndef TORUNA_SPIN_US
#define TORUNA_SPIN_US 0
#endif
constexpr std::chrono::microseconds kSpinLimit{TORUNA_SPIN_US};
// A sleep shorter than this (its own wake-up included) means events come densely.
constexpr std::chrono::microseconds kDenseGap{1000};
// The shortest period of a periodic timer.
constexpr std::chrono::microseconds kShortestPeriod{1000};

using Clock = TimerQueue::Clock;  // CLOCK_MONOTONIC, as the timer descriptor

[[noreturn]] void ThrowErrno(const char* what) {
  throw std::system_error(errno, std::generic_category(), what);
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

  EpollPoller poller;
  int wakeFd = -1;
  int timerFd = -1;
  bool wakeArmed = false;
  bool stopped = false;
  bool spinAllowed = false;  // SpinBeforeSleep
  bool spinning = false;     // Run looks for events before it sleeps (see Run)
  uint32_t nextId = 1;
  // Indexed by descriptor: descriptors are small numbers, densely used.
  std::vector<Registration> records;
  TimerQueue timers;
  Clock::time_point timerArmedFor = Clock::time_point::max();
  std::vector<std::function<void()>> deferred;
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
  // A held one stays, disarmed after at most one such report.
  // False when epoll refuses the descriptor.
  bool Apply(int fd, Registration& reg) {
    if (reg.interest == 0 && !reg.held) {
      if (reg.inEpoll) poller.Remove(fd);
      reg.inEpoll = false;
      return true;
    }
    reg.inEpoll = poller.Set(fd, RegistrationKey(reg.id, fd), reg.interest, reg.inEpoll);
    return reg.inEpoll;
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
    if (reg->inEpoll) poller.Remove(fd);
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
    if (nextId == 0) nextId = 1;  // ids start at 1 (see kTimerKey)
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

  void Dispatch(const EpollPoller::Ready& ev) {
    const int fd = static_cast<int>(static_cast<uint32_t>(ev.key));
    Registration* reg = Find(fd);
    // Unwatched (or watched anew) earlier in this batch.
    if (reg == nullptr || reg->id != static_cast<uint32_t>(ev.key >> 32)) return;
    const uint32_t ready = ev.events & (reg->interest | kHangUp | kFailed);
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

  // Arms the timer descriptor for the earliest deadline (or disarms it), only when
  // that changed: each change is a system call.
  void ArmTimer() {
    const Clock::time_point next = timers.NextDeadline();
    if (next == timerArmedFor) return;
    timerArmedFor = next;
    itimerspec when{};
    if (next != Clock::time_point::max()) {
      const auto since = next.time_since_epoch();
      const auto s = std::chrono::duration_cast<std::chrono::seconds>(since);
      when.it_value.tv_sec = static_cast<time_t>(s.count());
      when.it_value.tv_nsec =
          static_cast<long>(std::chrono::duration_cast<std::chrono::nanoseconds>(since - s).count());
      if (when.it_value.tv_sec == 0 && when.it_value.tv_nsec == 0) when.it_value.tv_nsec = 1;  // 0 disarms
    }
    timerfd_settime(timerFd, TFD_TIMER_ABSTIME, &when, nullptr);
  }

  void RunTimers() {
    uint64_t expirations = 0;
    if (read(timerFd, &expirations, sizeof expirations) < 0) expirations = 0;
    timerArmedFor = Clock::time_point{};  // it fired: whatever comes next is a change
    timers.RunDue(Clock::now());
    ArmTimer();
  }
};

EventLoop::EventLoop() : impl_(new Impl) {
  auto fail = [this](const char* what) {
    int saved = errno;
    if (impl_->timerFd >= 0) close(impl_->timerFd);
    if (impl_->wakeFd >= 0) close(impl_->wakeFd);
    delete impl_;
    errno = saved;
    ThrowErrno(what);
  };
  impl_->wakeFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (impl_->wakeFd < 0 || !impl_->poller.Set(impl_->wakeFd, kWakeKey, kReadable, false)) {
    fail("EventLoop: eventfd");
  }
  impl_->timerFd = timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
  if (impl_->timerFd < 0 || !impl_->poller.Set(impl_->timerFd, kTimerKey, kReadable, false)) {
    fail("EventLoop: timerfd_create");
  }
}

EventLoop::~EventLoop() {
  for (Impl::Registration& reg : impl_->records) {
    if (reg.owned) delete static_cast<FdCallback*>(reg.target);
  }
  close(impl_->timerFd);
  close(impl_->wakeFd);
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

EventLoop::TimerId EventLoop::RunAfter(std::chrono::microseconds delay, std::function<void()> callback) {
  if (delay.count() < 0) delay = std::chrono::microseconds(0);
  const TimerId id = impl_->timers.Add(Clock::now() + delay, Clock::duration::zero(), std::move(callback));
  impl_->ArmTimer();
  return id;
}

EventLoop::TimerId EventLoop::AddTimer(std::chrono::microseconds interval, std::function<void()> callback) {
  if (interval < kShortestPeriod) interval = kShortestPeriod;
  const TimerId id = impl_->timers.Add(Clock::now() + interval, interval, std::move(callback));
  impl_->ArmTimer();
  return id;
}

void EventLoop::CancelTimer(TimerId id) {
  impl_->timers.Cancel(id);
  impl_->ArmTimer();
}

void EventLoop::Defer(std::function<void()> callback) {
  impl_->deferred.push_back(std::move(callback));
  // Inside ProcessReady the work runs before it returns; the wake-up descriptor is
  // only for work deferred from outside (or left over), and each use costs two calls.
  if (impl_->depth == 0) impl_->UpdateWake();
}

void EventLoop::BeforeNestedLoop() { impl_->UpdateWake(); }

void EventLoop::Run() {
  while (!impl_->stopped) {
    if (!impl_->spinAllowed) {
      Poll(-1);
      continue;
    }
    // While events come close together, the loop looks for the next one for a short
    // while before it sleeps: waking a sleeping thread (a halted processor, on a
    // virtual machine) takes longer than the gap it would sleep through. It stops
    // looking as soon as a look finds nothing, until a short sleep shows that events
    // come densely again (more than a thousand a second), so an idle or lightly used
    // server does not spin.
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
    if (Poll(-1) > 0 && Clock::now() - before < kDenseGap) impl_->spinning = true;
  }
}

void EventLoop::SpinBeforeSleep(bool on) {
  impl_->spinAllowed = on && kSpinLimit.count() > 0;
  if (!on) impl_->spinning = false;
}

void EventLoop::Stop() { impl_->stopped = true; }

bool EventLoop::Stopped() const { return impl_->stopped; }

int EventLoop::Fd() const { return impl_->poller.Fd(); }

void EventLoop::ProcessReady(int timeoutMs) { Poll(timeoutMs); }

int EventLoop::Poll(int timeoutMs) {
  if (!impl_->deferred.empty()) timeoutMs = 0;
  EpollPoller::Ready events[kBatchSize];
  const int n = impl_->poller.Wait(events, kBatchSize, timeoutMs);
  struct Depth {
    Impl& impl;
    explicit Depth(Impl& i) : impl(i) { ++impl.depth; }
    ~Depth() {
      if (--impl.depth == 0) impl.retired.clear();
    }
  } depth(*impl_);
  for (int i = 0; i < n; ++i) {
    if (events[i].key == kWakeKey) continue;  // only a reminder that work was deferred
    if (events[i].key == kTimerKey) {
      impl_->RunTimers();
      continue;
    }
    impl_->Dispatch(events[i]);
  }
  impl_->RunDeferred();
  impl_->UpdateWake();
  return n;
}

}  // namespace toruna::loop
