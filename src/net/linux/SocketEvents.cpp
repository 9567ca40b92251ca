#include "net/linux/SocketEvents.h"

#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <utility>

#include "net/linux/ErrnoMap.h"

namespace toruna::net {

namespace {

// How soon a parked listener tries again when no socket here was released.
constexpr std::chrono::milliseconds kAcceptRetry{200};

// Reads and clears the socket's pending error.
int TakeSocketError(int fd) {
  int error = 0;
  socklen_t len = sizeof error;
  if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &len) != 0) return errno;
  return error;
}

// FD_ACCEPTs posted at once after accepts, between two reports of the loop.
constexpr uint8_t kAcceptBurst = 64;

bool ConnectionWaiting(int listenFd) {
  pollfd p{listenFd, POLLIN, 0};
  return poll(&p, 1, 0) == 1 && (p.revents & POLLIN) != 0;
}

uint32_t UnreadBytes(int fd) {
  int count = 0;
  if (ioctl(fd, FIONREAD, &count) != 0 || count < 0) return 0;
  return static_cast<uint32_t>(count);
}

}  // namespace

SocketEvents::SocketEvents(loop::EventLoop& loop) : loop_(loop), alive_(std::make_shared<char>(0)) {}

SocketEvents::~SocketEvents() {
  for (int fd : TrackedSockets()) loop_.Unwatch(fd);
  if (retryTimer_ != 0) loop_.CancelTimer(retryTimer_);
}

void SocketEvents::Track(int fd, bool stream) {
  Forget(fd);
  if (fd < 0) return;
  if (static_cast<size_t>(fd) >= sockets_.size()) sockets_.resize(static_cast<size_t>(fd) + 1);
  Socket& s = sockets_[static_cast<size_t>(fd)];
  s = Socket{};
  s.generation = nextGeneration_++;
  if (nextGeneration_ == 0) nextGeneration_ = 1;  // 0 marks an untracked entry
  s.stream = stream;
  loop_.Watch(fd, 0, *this);
}

void SocketEvents::Forget(int fd) {
  Socket* s = Find(fd);
  if (s == nullptr) return;
  *s = Socket{};
  loop_.Unwatch(fd);
  // The descriptor is about to be free: a parked listener can take a connection.
  if (!parked_.empty()) WakeParked();
}

bool SocketEvents::Tracked(int fd) const { return Find(fd) != nullptr; }

bool SocketEvents::IsStream(int fd) const {
  const Socket* s = Find(fd);
  return s != nullptr && s->stream;
}

int SocketEvents::Failure(int fd) const {
  const Socket* s = Find(fd);
  return s == nullptr ? 0 : s->failure;
}

std::vector<int> SocketEvents::TrackedSockets() const {
  std::vector<int> fds;
  for (size_t fd = 0; fd < sockets_.size(); ++fd) {
    if (sockets_[fd].generation != 0) fds.push_back(static_cast<int>(fd));
  }
  return fds;
}

SocketEvents::Socket* SocketEvents::Find(int fd) {
  return const_cast<Socket*>(std::as_const(*this).Find(fd));
}

const SocketEvents::Socket* SocketEvents::Find(int fd) const {
  if (fd < 0 || static_cast<size_t>(fd) >= sockets_.size()) return nullptr;
  const Socket& s = sockets_[static_cast<size_t>(fd)];
  return s.generation != 0 ? &s : nullptr;
}

int SocketEvents::FdOf(const Socket& s) const { return static_cast<int>(&s - sockets_.data()); }

bool SocketEvents::Select(int fd, uint16_t mask) {
  Socket* s = Find(fd);
  if (!s) {
    errno = EBADF;
    return false;
  }
  if (mask != 0 && !loop_.Hold(fd)) return false;
  s->mask = mask;
  UpdateInterest(*s);
  return true;
}

void SocketEvents::Listening(int fd) {
  Socket* s = Find(fd);
  if (!s) return;
  s->phase = Phase::kListening;
  s->readArmed = true;
  UpdateInterest(*s);
}

void SocketEvents::ConnectStarted(int fd) {
  Socket* s = Find(fd);
  if (!s || !s->stream) return;
  s->phase = Phase::kConnecting;
  UpdateInterest(*s);
}

void SocketEvents::ConnectedAtOnce(int fd) {
  Socket* s = Find(fd);
  if (!s || !s->stream) return;
  s->phase = Phase::kConnected;
  Post(*s, kFdConnect, 0);
  PostFirstWrite(*s);
  UpdateInterest(*s);
}

void SocketEvents::AcceptCalled(int listenFd, bool took, bool shortage) {
  Socket* s = Find(listenFd);
  if (!s) return;
  if (shortage) {
    Park(*s);
    return;
  }
  ReceiveCalled(listenFd);
  // Another connection already waiting is announced now, as the platform would,
  // rather than after the next wait on the loop: a burst of clients is taken in one
  // batch and handled together. Bounded, so that a flood cannot hold the loop.
  if (took && s->phase == Phase::kListening && (s->mask & kFdAccept) &&
      s->acceptBurst < kAcceptBurst && ConnectionWaiting(listenFd)) {
    ++s->acceptBurst;
    PostRead(*s, kFdAccept);
    UpdateInterest(*s);
  }
}

bool SocketEvents::Accepted(int listenFd, int newFd) {
  Socket* listener = Find(listenFd);
  uint16_t mask = listener ? listener->mask : 0;
  Track(newFd, true);
  if (mask != 0 && !loop_.Hold(newFd)) return false;
  Socket& s = sockets_[static_cast<size_t>(newFd)];
  s.mask = mask;
  s.phase = Phase::kConnected;
  PostFirstWrite(s);
  UpdateInterest(s);
  return true;
}

void SocketEvents::Park(Socket& s) {
  s.readArmed = false;
  s.readLazy = false;
  UpdateInterest(s);
  if (s.parked) return;
  s.parked = true;
  parked_.push_back(FdOf(s));
  // The loop's timers need no descriptor, so the retry can be set up now that none is free.
  if (retryTimer_ == 0) {
    std::weak_ptr<char> alive = alive_;
    retryTimer_ = loop_.RunAfter(kAcceptRetry, [this, alive] {
      if (alive.expired()) return;
      retryTimer_ = 0;
      WakeParked();
    });
  }
}

void SocketEvents::WakeParked() {
  if (retryTimer_ != 0) {
    loop_.CancelTimer(retryTimer_);
    retryTimer_ = 0;
  }
  std::vector<int> parked;
  parked.swap(parked_);
  for (int fd : parked) {
    Socket* s = Find(fd);
    if (!s || !s->parked) continue;
    s->parked = false;
    s->readArmed = true;  // connections still waiting bring FD_ACCEPT at once
    UpdateInterest(*s);
  }
}

void SocketEvents::ReceiveCalled(int fd) {
  Socket* s = Find(fd);
  if (!s) return;
  s->readArmed = true;
  s->readLazy = false;
  s->closeHeld = false;
  UpdateInterest(*s);
}

void SocketEvents::SendBlocked(int fd) {
  Socket* s = Find(fd);
  if (!s) return;
  s->writeArmed = true;
  UpdateInterest(*s);
}

void SocketEvents::PostLookup(int32_t request, uint16_t error, uint32_t addr) {
  Item item;
  item.lookup = true;
  item.handle = request;
  item.error = error;
  item.addr = addr;
  queue_.push_back(item);
  ScheduleDrain();
}

bool SocketEvents::DropLookup(int32_t request) {
  auto it = std::find_if(queue_.begin(), queue_.end(), [request](const Item& item) {
    return item.lookup && item.handle == request;
  });
  if (it == queue_.end()) return false;
  queue_.erase(it);
  return true;
}

void SocketEvents::OnFdReady(int fd, uint32_t ready) {
  // The loop delivers only readiness of the current registration of fd.
  Socket* s = Find(fd);
  if (!s) return;
  if (!s->stream) {
    OnDatagramReady(*s, ready);
  } else if (s->phase == Phase::kConnecting) {
    OnConnectReady(*s, ready);
  } else if (s->phase == Phase::kListening) {
    s->acceptBurst = 0;
    if (s->readArmed && (s->mask & kFdAccept)) {
      PostRead(*s, kFdAccept);
    } else {
      s->readLazy = false;
      if (ready & loop::EventLoop::kFailed) TakeSocketError(fd);
    }
  } else if (s->phase == Phase::kConnected) {
    OnStreamReady(*s, ready);
  }
  UpdateInterest(*s);
}

void SocketEvents::OnConnectReady(Socket& s, uint32_t ready) {
  const int fd = FdOf(s);
  int error = TakeSocketError(fd);
  if (error == 0 && !(ready & loop::EventLoop::kWritable)) {
    // A hang-up without the writable report: ask the socket whether it is connected.
    sockaddr_storage peer{};
    socklen_t len = sizeof peer;
    if (getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &len) != 0) error = errno;
  }
  if (error != 0) {
    s.phase = Phase::kFailed;
    Post(s, kFdConnect, static_cast<uint16_t>(PlatformErrorFromErrno(error)));
    return;
  }
  s.phase = Phase::kConnected;
  Post(s, kFdConnect, 0);
  PostFirstWrite(s);
}

void SocketEvents::OnStreamReady(Socket& s, uint32_t ready) {
  if ((ready & loop::EventLoop::kWritable) && s.writeArmed) {
    s.writeArmed = false;
    Post(s, kFdWrite, 0);
  }
  if (s.closeDone) return;
  if (ready & loop::EventLoop::kFailed) {
    int error = TakeSocketError(FdOf(s));
    if (error != 0) {
      // A reset: the close is reported at once, whatever is still unread.
      s.failure = error;
      s.closeDone = true;
      Post(s, kFdClose, static_cast<uint16_t>(PlatformErrorFromErrno(error)));
      return;
    }
  }
  bool readWanted = s.readArmed && (s.mask & kFdRead);
  if (ready & loop::EventLoop::kHangUp) {
    if (UnreadBytes(FdOf(s)) == 0) {
      s.closeDone = true;
      Post(s, kFdClose, 0);
    } else if (readWanted) {
      PostRead(s, kFdRead);
    } else {
      // Wait for the owner's next receive before looking at the close again.
      s.closeHeld = true;
      s.readLazy = false;
    }
  } else if (ready & loop::EventLoop::kReadable) {
    if (readWanted) {
      PostRead(s, kFdRead);
    } else {
      s.readLazy = false;
    }
  }
}

void SocketEvents::OnDatagramReady(Socket& s, uint32_t ready) {
  if ((ready & loop::EventLoop::kWritable) && s.writeArmed) {
    s.writeArmed = false;
    Post(s, kFdWrite, 0);
  }
  bool readWanted = s.readArmed && (s.mask & kFdRead);
  if (ready & (loop::EventLoop::kReadable | loop::EventLoop::kFailed)) {
    if (readWanted) {
      // A pending error (an ICMP report on a connected datagram socket) surfaces in
      // the owner's next receive, which also clears it.
      PostRead(s, kFdRead);
    } else {
      s.readLazy = false;
      if (ready & loop::EventLoop::kFailed) TakeSocketError(FdOf(s));
    }
  }
}

void SocketEvents::PostRead(Socket& s, uint16_t event) {
  s.readArmed = false;
  s.readLazy = true;  // keep the interest: the usual receive inside the handler re-arms it
  Post(s, event, 0);
}

void SocketEvents::PostFirstWrite(Socket& s) {
  s.writeArmed = false;
  Post(s, kFdWrite, 0);
}

void SocketEvents::Post(const Socket& s, uint16_t event, uint16_t error) {
  Item item;
  item.handle = FdOf(s);
  item.generation = s.generation;
  item.event = event;
  item.error = error;
  queue_.push_back(item);
  ScheduleDrain();
}

void SocketEvents::UpdateInterest(Socket& s) {
  uint32_t want = 0;
  bool reading = s.readArmed || s.readLazy;
  if (s.mask != 0) {
    if (!s.stream) {
      if (reading && (s.mask & kFdRead)) want |= loop::EventLoop::kReadable;
      if (s.writeArmed && (s.mask & kFdWrite)) want |= loop::EventLoop::kWritable;
    } else {
      switch (s.phase) {
        case Phase::kListening:
          if (reading && (s.mask & kFdAccept)) want |= loop::EventLoop::kReadable;
          break;
        case Phase::kConnecting:
          want |= loop::EventLoop::kWritable;
          break;
        case Phase::kConnected:
          if (!s.closeDone && !s.closeHeld) {
            if (reading && (s.mask & kFdRead)) {
              want |= loop::EventLoop::kReadable;
            } else if (s.mask & kFdClose) {
              want |= loop::EventLoop::kHangUp;
            }
          }
          if (s.writeArmed && (s.mask & kFdWrite)) want |= loop::EventLoop::kWritable;
          break;
        case Phase::kIdle:
        case Phase::kFailed:
          break;  // an unconnected stream socket reports a hang-up forever: not watched
      }
    }
  }
  loop_.Modify(FdOf(s), want);
}

void SocketEvents::ScheduleDrain() {
  if (drainScheduled_) return;
  drainScheduled_ = true;
  std::weak_ptr<char> alive = alive_;
  loop_.Defer([this, alive] {
    if (alive.expired()) return;
    drainScheduled_ = false;
    Drain();
  });
}

void SocketEvents::Drain() {
  std::weak_ptr<char> alive = alive_;
  // Pops one at a time, and while one is delivered the rest stay scheduled: a handler
  // that runs the loop again (a modal dialog) drains them from there, still in order,
  // instead of leaving them until it returns.
  while (!queue_.empty()) {
    Item item = queue_.front();
    queue_.pop_front();
    if (!queue_.empty()) ScheduleDrain();
    if (!sink_) continue;
    if (item.lookup) {
      sink_->OnLookupDone(item.handle, item.error, item.addr);
    } else {
      Socket* s = Find(item.handle);
      if (!s || s->generation != item.generation || !(s->mask & item.event)) continue;
      sink_->OnSocketNotify(item.handle, item.event, item.error);
    }
    if (alive.expired()) return;
  }
}

}  // namespace toruna::net
