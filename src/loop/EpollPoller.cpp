#include "loop/EpollPoller.h"

#include <sys/epoll.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

#include "loop/EventLoop.h"

namespace toruna::loop {

namespace {

constexpr int kMaxBatch = 64;

uint32_t ToEpoll(uint32_t interest) {
  // A descriptor without interest stays in the set disarmed: epoll reports hang-ups
  // and errors whatever it is asked, once more at most with EPOLLONESHOT.
  if (interest == 0) return EPOLLONESHOT;
  uint32_t events = 0;
  if (interest & EventLoop::kReadable) events |= EPOLLIN | EPOLLRDHUP;
  if (interest & EventLoop::kWritable) events |= EPOLLOUT;
  if (interest & EventLoop::kHangUp) events |= EPOLLRDHUP;
  return events;
}

uint32_t FromEpoll(uint32_t events) {
  uint32_t ready = 0;
  if (events & EPOLLIN) ready |= EventLoop::kReadable;
  if (events & EPOLLOUT) ready |= EventLoop::kWritable;
  if (events & (EPOLLRDHUP | EPOLLHUP)) ready |= EventLoop::kHangUp;
  if (events & EPOLLERR) ready |= EventLoop::kFailed;
  return ready;
}

}  // namespace

EpollPoller::EpollPoller() : epollFd_(epoll_create1(EPOLL_CLOEXEC)) {
  if (epollFd_ < 0) throw std::system_error(errno, std::generic_category(), "EventLoop: epoll_create1");
}

EpollPoller::~EpollPoller() { close(epollFd_); }

bool EpollPoller::Set(int fd, uint64_t key, uint32_t interest, bool inSet) {
  epoll_event ev{};
  ev.events = ToEpoll(interest);
  ev.data.u64 = key;
  int op = inSet ? EPOLL_CTL_MOD : EPOLL_CTL_ADD;
  if (epoll_ctl(epollFd_, op, fd, &ev) == 0) return true;
  // The set may disagree with the caller when a descriptor was closed (and its
  // number reused) without Remove: epoll forgets a closed descriptor by itself.
  const bool retry = (op == EPOLL_CTL_MOD && errno == ENOENT) || (op == EPOLL_CTL_ADD && errno == EEXIST);
  if (!retry) return false;
  op = op == EPOLL_CTL_MOD ? EPOLL_CTL_ADD : EPOLL_CTL_MOD;
  return epoll_ctl(epollFd_, op, fd, &ev) == 0;
}

void EpollPoller::Remove(int fd) { epoll_ctl(epollFd_, EPOLL_CTL_DEL, fd, nullptr); }

int EpollPoller::Wait(Ready* out, int capacity, int timeoutMs) {
  epoll_event events[kMaxBatch];
  const int n = epoll_wait(epollFd_, events, capacity < kMaxBatch ? capacity : kMaxBatch, timeoutMs);
  for (int i = 0; i < n; ++i) {
    out[i].key = events[i].data.u64;
    out[i].events = FromEpoll(events[i].events);
  }
  return n;
}

}  // namespace toruna::loop
