#include "Poller.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <string>

namespace loadgen {
namespace {

constexpr uint32_t kTimerIndex = UINT32_MAX;
constexpr size_t kKeptRest = 4096;

[[noreturn]] void Fail(const std::string& what, int err) {
  throw std::runtime_error(what + ": " + strerror(err));
}

}  // namespace

uint64_t RaiseFileLimit() {
  rlimit rl{};
  if (getrlimit(RLIMIT_NOFILE, &rl) != 0) return 0;
  if (rl.rlim_cur < rl.rlim_max) {
    rl.rlim_cur = rl.rlim_max;
    setrlimit(RLIMIT_NOFILE, &rl);
  }
  return rl.rlim_cur;
}

Poller::Poller(uint16_t port) : port_(port), events_(1024), scratch_(1 << 16) {
  epfd_ = epoll_create1(EPOLL_CLOEXEC);
  if (epfd_ < 0) Fail("epoll_create1", errno);
  timerFd_ = timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
  if (timerFd_ < 0) Fail("timerfd_create", errno);
  epoll_event ev{};
  ev.events = EPOLLIN;
  ev.data.u32 = kTimerIndex;
  if (epoll_ctl(epfd_, EPOLL_CTL_ADD, timerFd_, &ev) != 0) Fail("epoll_ctl", errno);
}

Poller::~Poller() {
  for (auto& c : conns_)
    if (c->fd >= 0) close(c->fd);
  if (timerFd_ >= 0) close(timerFd_);
  if (epfd_ >= 0) close(epfd_);
}

void Poller::WakeAt(double at) {
  itimerspec its{};
  const double whole = static_cast<double>(static_cast<long>(at));
  its.it_value.tv_sec = static_cast<time_t>(whole);
  its.it_value.tv_nsec = static_cast<long>((at - whole) * 1e9);
  // Zero would disarm the timer; a time already past fires at once.
  if (its.it_value.tv_sec == 0 && its.it_value.tv_nsec == 0) its.it_value.tv_nsec = 1;
  if (timerfd_settime(timerFd_, TFD_TIMER_ABSTIME, &its, nullptr) != 0) Fail("timerfd_settime", errno);
}

std::vector<int> Poller::Detach(size_t from) {
  std::vector<int> fds;
  for (size_t i = from; i < conns_.size(); ++i) {
    Connection& c = *conns_[i];
    if (c.fd < 0) continue;
    epoll_ctl(epfd_, EPOLL_CTL_DEL, c.fd, nullptr);
    fds.push_back(c.fd);
    c.fd = -1;
    c.out.clear();
    c.outOff = 0;
  }
  return fds;
}

void Poller::Watch(Connection& c, uint32_t events, int op) {
  epoll_event ev{};
  ev.events = events;
  ev.data.u32 = c.index;
  if (epoll_ctl(epfd_, op, c.fd, &ev) != 0) Fail("epoll_ctl", errno);
}

Connection& Poller::Open(bool isPublisher) {
  auto c = std::make_unique<Connection>();
  c->index = static_cast<uint32_t>(conns_.size());
  c->isPublisher = isPublisher;
  c->fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (c->fd < 0) Fail("socket (raise the limit of open files?)", errno);
  // Small messages must leave at once, as a real client's would.
  int one = 1;
  setsockopt(c->fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(port_);
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(c->fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 && errno != EINPROGRESS)
    Fail("connect to 127.0.0.1:" + std::to_string(port_), errno);
  Watch(*c, EPOLLOUT, EPOLL_CTL_ADD);
  c->writeArmed = true;
  conns_.push_back(std::move(c));
  return *conns_.back();
}

void Poller::Flush(Connection& c) {
  while (c.Pending() > 0) {
    ssize_t n = send(c.fd, c.out.data() + c.outOff, c.Pending(), MSG_NOSIGNAL);
    if (n > 0) {
      c.outOff += static_cast<size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
    Fail("send on connection " + std::to_string(c.index), errno);
  }
  if (c.Pending() == 0) {
    c.out.clear();
    c.outOff = 0;
  }
  const bool wantWrite = c.Pending() > 0;
  if (wantWrite != c.writeArmed) {
    Watch(c, EPOLLIN | (wantWrite ? EPOLLOUT : 0u), EPOLL_CTL_MOD);
    c.writeArmed = wantWrite;
  }
}

void Poller::FinishConnect(Connection& c, uint32_t events, const Handlers& h) {
  // Writable without an error or hang-up: connected; the error is read only on failure.
  if (events & (EPOLLERR | EPOLLHUP)) {
    int err = 0;
    socklen_t len = sizeof err;
    getsockopt(c.fd, SOL_SOCKET, SO_ERROR, &err, &len);
    Fail("connect to 127.0.0.1:" + std::to_string(port_), err != 0 ? err : ECONNRESET);
  }
  c.connecting = false;
  Watch(c, EPOLLIN, EPOLL_CTL_MOD);
  c.writeArmed = false;
  if (h.connected) h.connected(c);
  dirty_.push_back(&c);
}

void Poller::Receive(Connection& c, const Handlers& h) {
  ssize_t n = recv(c.fd, scratch_.data(), scratch_.size(), 0);
  if (n == 0) throw std::runtime_error("the server closed connection " + std::to_string(c.index));
  if (n < 0) {
    if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return;
    Fail("recv on connection " + std::to_string(c.index), errno);
  }
  bytesIn_ += static_cast<uint64_t>(n);
  const uint8_t* data = scratch_.data();
  size_t size = static_cast<size_t>(n);
  const bool rest = !c.in.empty();
  if (rest) {
    c.in.insert(c.in.end(), scratch_.begin(), scratch_.begin() + n);
    data = c.in.data();
    size = c.in.size();
  }
  const size_t used = h.received ? h.received(c, data, size) : size;
  if (!rest) {
    c.in.assign(data + used, data + size);
  } else {
    c.in.erase(c.in.begin(), c.in.begin() + static_cast<std::ptrdiff_t>(used));
    // Thousands of connections each keeping a read's worth would be the
    // generator's largest memory, and touching it anew its largest cost.
    if (c.in.capacity() > kKeptRest) std::vector<uint8_t>(c.in).swap(c.in);
  }
  dirty_.push_back(&c);
}

int Poller::Poll(int timeoutMs, const Handlers& h) {
  int n = epoll_wait(epfd_, events_.data(), static_cast<int>(events_.size()), timeoutMs);
  if (n < 0) {
    if (errno == EINTR) return 0;
    Fail("epoll_wait", errno);
  }
  for (int i = 0; i < n; ++i) {
    if (events_[i].data.u32 == kTimerIndex) {
      uint64_t expirations = 0;
      if (read(timerFd_, &expirations, sizeof expirations) < 0 && errno != EAGAIN) Fail("read timer", errno);
      continue;
    }
    Connection& c = *conns_[events_[i].data.u32];
    if (c.fd < 0) continue;
    const uint32_t ev = events_[i].events;
    if (c.connecting) {
      FinishConnect(c, events_[i].events, h);
      continue;
    }
    if (ev & (EPOLLIN | EPOLLHUP | EPOLLERR)) Receive(c, h);
    if (ev & EPOLLOUT) dirty_.push_back(&c);
  }
  for (Connection* c : dirty_)
    if (c->fd >= 0 && (c->Pending() > 0 || c->writeArmed)) Flush(*c);
  dirty_.clear();
  return n;
}

}  // namespace loadgen
