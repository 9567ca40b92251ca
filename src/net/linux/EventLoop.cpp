#include "net/linux/EventLoop.h"

#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <cerrno>
#include <deque>
#include <memory>
#include <system_error>
#include <unordered_map>
#include <utility>

namespace toruna::net {

namespace {

// epoll data of the wake-up descriptor; registrations count from 1.
constexpr uint64_t kWakeId = 0;

// epoll data of a registration: its id above its descriptor, so that readiness
// is matched to the registration through the one table kept by descriptor.
uint64_t EpollKey(uint32_t id, int fd) { return (uint64_t{id} << 32) | static_cast<uint32_t>(fd); }
constexpr int kBatchSize = 64;

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
  // One registration of a descriptor. Each Watch makes a new one with a new id, so
  // readiness reported for an earlier registration of the same number is recognised
  // as stale and dropped.
  struct Registration {
    int fd = -1;
    uint32_t id = 0;
    uint32_t interest = 0;
    bool inEpoll = false;
    bool held = false;  // stays in the set without interest (see Hold)
    FdCallback callback;
  };
  struct Timer {
    int fd = -1;
    std::shared_ptr<std::function<void()>> callback;
    itimerspec period{};
  };

  int epollFd = -1;
  int wakeFd = -1;
  bool wakeArmed = false;
  bool stopped = false;
  uint32_t nextId = 1;
  TimerId nextTimer = 1;
  std::unordered_map<int, std::shared_ptr<Registration>> byFd;
  std::unordered_map<TimerId, Timer> timers;
  std::deque<std::function<void()>> deferred;

  // Puts the registration into the epoll set, changes it, or takes it out. A
  // descriptor with no interest leaves the set entirely: epoll reports hang-ups and
  // errors whatever the interest, and a dead socket nobody reads would keep it busy.
  // A held one stays, disarmed after at most one such report (one-shot).
  // False when epoll refuses the descriptor.
  bool Apply(Registration& reg) {
    if (reg.interest == 0 && !reg.held) {
      if (reg.inEpoll) epoll_ctl(epollFd, EPOLL_CTL_DEL, reg.fd, nullptr);
      reg.inEpoll = false;
      return true;
    }
    epoll_event ev{};
    ev.events = reg.interest == 0 ? EPOLLONESHOT : ToEpoll(reg.interest);
    ev.data.u64 = EpollKey(reg.id, reg.fd);
    int op = reg.inEpoll ? EPOLL_CTL_MOD : EPOLL_CTL_ADD;
    if (epoll_ctl(epollFd, op, reg.fd, &ev) != 0) {
      // The set may disagree with our record when a descriptor was closed (and its
      // number reused) without Unwatch: epoll forgets a closed descriptor by itself.
      bool retry = (op == EPOLL_CTL_MOD && errno == ENOENT) || (op == EPOLL_CTL_ADD && errno == EEXIST);
      op = op == EPOLL_CTL_MOD ? EPOLL_CTL_ADD : EPOLL_CTL_MOD;
      if (!retry || epoll_ctl(epollFd, op, reg.fd, &ev) != 0) {
        reg.inEpoll = false;
        return false;
      }
    }
    reg.inEpoll = true;
    return true;
  }

  void Remove(int fd) {
    auto it = byFd.find(fd);
    if (it == byFd.end()) return;
    std::shared_ptr<Registration> reg = it->second;
    byFd.erase(it);
    if (reg->inEpoll) epoll_ctl(epollFd, EPOLL_CTL_DEL, fd, nullptr);
    reg->inEpoll = false;
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
    auto it = byFd.find(static_cast<int>(static_cast<uint32_t>(ev.data.u64)));
    // Unwatched (or watched anew) earlier in this batch.
    if (it == byFd.end() || it->second->id != static_cast<uint32_t>(ev.data.u64 >> 32)) return;
    std::shared_ptr<Registration> reg = it->second;  // alive even if it unwatches itself
    uint32_t ready = 0;
    if ((ev.events & EPOLLIN) && (reg->interest & kReadable)) ready |= kReadable;
    if ((ev.events & EPOLLOUT) && (reg->interest & kWritable)) ready |= kWritable;
    if (ev.events & (EPOLLRDHUP | EPOLLHUP)) ready |= kHangUp;
    if (ev.events & EPOLLERR) ready |= kFailed;
    // A held descriptor without interest may report a hang-up once; nobody asked.
    if (ready == 0 || !reg->inEpoll || reg->interest == 0) return;
    reg->callback(ready);
  }

  // Runs the work deferred so far; work deferred meanwhile waits for the next round
  // (the wake-up descriptor keeps Fd() readable for it).
  void RunDeferred() {
    std::deque<std::function<void()>> batch;
    batch.swap(deferred);
    while (!batch.empty()) {
      std::function<void()> fn = std::move(batch.front());
      batch.pop_front();
      fn();
    }
  }
};

EventLoop::EventLoop() : impl_(new Impl) {
  impl_->epollFd = epoll_create1(EPOLL_CLOEXEC);
  if (impl_->epollFd < 0) {
    delete impl_;
    ThrowErrno("EventLoop: epoll_create1");
  }
  impl_->wakeFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  epoll_event ev{};
  ev.events = EPOLLIN;
  ev.data.u64 = kWakeId;
  if (impl_->wakeFd < 0 || epoll_ctl(impl_->epollFd, EPOLL_CTL_ADD, impl_->wakeFd, &ev) != 0) {
    int saved = errno;
    if (impl_->wakeFd >= 0) close(impl_->wakeFd);
    close(impl_->epollFd);
    delete impl_;
    errno = saved;
    ThrowErrno("EventLoop: eventfd");
  }
}

EventLoop::~EventLoop() {
  for (auto& [id, timer] : impl_->timers) close(timer.fd);
  close(impl_->wakeFd);
  close(impl_->epollFd);
  delete impl_;
}

void EventLoop::Watch(int fd, uint32_t interest, FdCallback callback) {
  impl_->Remove(fd);
  auto reg = std::make_shared<Impl::Registration>();
  reg->fd = fd;
  reg->id = impl_->nextId++;
  if (impl_->nextId == 0) impl_->nextId = 1;  // 0 would read as the wake-up descriptor
  reg->interest = interest & (kReadable | kWritable | kHangUp);
  reg->callback = std::move(callback);
  if (!impl_->Apply(*reg)) ThrowErrno("EventLoop: epoll_ctl");
  impl_->byFd[fd] = reg;
}

bool EventLoop::Modify(int fd, uint32_t interest) {
  auto it = impl_->byFd.find(fd);
  if (it == impl_->byFd.end()) return true;
  interest &= kReadable | kWritable | kHangUp;
  if (it->second->interest == interest) return true;
  it->second->interest = interest;
  return impl_->Apply(*it->second);
}

void EventLoop::Unwatch(int fd) { impl_->Remove(fd); }

bool EventLoop::Hold(int fd) {
  auto it = impl_->byFd.find(fd);
  if (it == impl_->byFd.end()) {
    errno = EBADF;
    return false;
  }
  Impl::Registration& reg = *it->second;
  reg.held = true;
  if (reg.inEpoll) return true;
  if (impl_->Apply(reg)) return true;
  reg.held = false;
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
  impl_->UpdateWake();
}

void EventLoop::Run() {
  while (!impl_->stopped) ProcessReady(-1);
}

void EventLoop::Stop() { impl_->stopped = true; }

bool EventLoop::Stopped() const { return impl_->stopped; }

int EventLoop::Fd() const { return impl_->epollFd; }

void EventLoop::ProcessReady(int timeoutMs) {
  if (!impl_->deferred.empty()) timeoutMs = 0;
  epoll_event events[kBatchSize];
  int n = epoll_wait(impl_->epollFd, events, kBatchSize, timeoutMs);
  for (int i = 0; i < n; ++i) {
    if (events[i].data.u64 == kWakeId) continue;  // only a reminder that work was deferred
    impl_->Dispatch(events[i]);
  }
  impl_->RunDeferred();
  impl_->UpdateWake();
}

}  // namespace toruna::net
