#include "net/linux/SocketEvents.h"

#include <sys/ioctl.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <system_error>

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

uint32_t UnreadBytes(int fd) {
  int count = 0;
  if (ioctl(fd, FIONREAD, &count) != 0 || count < 0) return 0;
  return static_cast<uint32_t>(count);
}

}  // namespace

SocketEvents::SocketEvents(EventLoop& loop) : loop_(loop), alive_(std::make_shared<char>(0)) {}

SocketEvents::~SocketEvents() {
  for (auto& [fd, socket] : sockets_) loop_.Unwatch(fd);
  if (retryTimer_ != 0) loop_.CancelTimer(retryTimer_);
}

void SocketEvents::Track(int fd, bool stream) {
  Forget(fd);
  Socket& s = sockets_[fd];
  s.fd = fd;
  s.generation = nextGeneration_++;
  s.stream = stream;
  // Two words: a capture this small lives inside the callback, not on the heap,
  // which matters with thousands of idle connections.
  const uint32_t generation = static_cast<uint32_t>(s.generation);
  loop_.Watch(fd, 0, [this, fd, generation](uint32_t ready) { OnReady(fd, generation, ready); });
}

void SocketEvents::Forget(int fd) {
  if (sockets_.erase(fd) == 0) return;
  loop_.Unwatch(fd);
  // The descriptor is about to be free: a parked listener can take a connection.
  if (!parked_.empty()) WakeParked();
}

bool SocketEvents::IsStream(int fd) const {
  auto it = sockets_.find(fd);
  return it != sockets_.end() && it->second.stream;
}

int SocketEvents::Failure(int fd) const {
  auto it = sockets_.find(fd);
  return it == sockets_.end() ? 0 : it->second.failure;
}

std::vector<int> SocketEvents::TrackedSockets() const {
  std::vector<int> fds;
  for (const auto& [fd, socket] : sockets_) fds.push_back(fd);
  return fds;
}

SocketEvents::Socket* SocketEvents::Find(int fd) {
  auto it = sockets_.find(fd);
  return it == sockets_.end() ? nullptr : &it->second;
}

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
  if (retryTimer_ == 0) {
    // Made now, while a descriptor is surely free: it is needed when none is.
    try {
      std::weak_ptr<char> alive = alive_;
      retryTimer_ = loop_.AddTimer(kAcceptRetry, [this, alive] {
        if (!alive.expired()) WakeParked();
      });
      loop_.StopTimer(retryTimer_);
    } catch (const std::system_error&) {
      retryTimer_ = 0;  // released sockets still wake parked listeners
    }
  }
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

void SocketEvents::AcceptCalled(int listenFd, bool shortage) {
  Socket* s = Find(listenFd);
  if (!s) return;
  if (shortage) {
    Park(*s);
  } else {
    ReceiveCalled(listenFd);
  }
}

bool SocketEvents::Accepted(int listenFd, int newFd) {
  Socket* listener = Find(listenFd);
  uint16_t mask = listener ? listener->mask : 0;
  Track(newFd, true);
  if (mask != 0 && !loop_.Hold(newFd)) return false;
  Socket& s = sockets_[newFd];
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
  parked_.push_back(s.fd);
  if (retryTimer_ != 0 && !retryRunning_) {
    loop_.StartTimer(retryTimer_);
    retryRunning_ = true;
  }
}

void SocketEvents::WakeParked() {
  if (retryRunning_) {
    loop_.StopTimer(retryTimer_);
    retryRunning_ = false;
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

void SocketEvents::OnReady(int fd, uint32_t generation, uint32_t ready) {
  Socket* s = Find(fd);
  if (!s || static_cast<uint32_t>(s->generation) != generation) return;
  if (!s->stream) {
    OnDatagramReady(*s, ready);
  } else if (s->phase == Phase::kConnecting) {
    OnConnectReady(*s, ready);
  } else if (s->phase == Phase::kListening) {
    if (s->readArmed && (s->mask & kFdAccept)) {
      PostRead(*s, kFdAccept);
    } else {
      s->readLazy = false;
      if (ready & EventLoop::kFailed) TakeSocketError(s->fd);
    }
  } else if (s->phase == Phase::kConnected) {
    OnStreamReady(*s, ready);
  }
  UpdateInterest(*s);
}

void SocketEvents::OnConnectReady(Socket& s, uint32_t ready) {
  int error = TakeSocketError(s.fd);
  if (error == 0 && !(ready & EventLoop::kWritable)) {
    // A hang-up without the writable report: ask the socket whether it is connected.
    sockaddr_storage peer{};
    socklen_t len = sizeof peer;
    if (getpeername(s.fd, reinterpret_cast<sockaddr*>(&peer), &len) != 0) error = errno;
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
  if ((ready & EventLoop::kWritable) && s.writeArmed) {
    s.writeArmed = false;
    Post(s, kFdWrite, 0);
  }
  if (s.closeDone) return;
  if (ready & EventLoop::kFailed) {
    int error = TakeSocketError(s.fd);
    if (error != 0) {
      // A reset: the close is reported at once, whatever is still unread.
      s.failure = error;
      s.closeDone = true;
      Post(s, kFdClose, static_cast<uint16_t>(PlatformErrorFromErrno(error)));
      return;
    }
  }
  bool readWanted = s.readArmed && (s.mask & kFdRead);
  if (ready & EventLoop::kHangUp) {
    if (UnreadBytes(s.fd) == 0) {
      s.closeDone = true;
      Post(s, kFdClose, 0);
    } else if (readWanted) {
      PostRead(s, kFdRead);
    } else {
      // Wait for the owner's next receive before looking at the close again.
      s.closeHeld = true;
      s.readLazy = false;
    }
  } else if (ready & EventLoop::kReadable) {
    if (readWanted) {
      PostRead(s, kFdRead);
    } else {
      s.readLazy = false;
    }
  }
}

void SocketEvents::OnDatagramReady(Socket& s, uint32_t ready) {
  if ((ready & EventLoop::kWritable) && s.writeArmed) {
    s.writeArmed = false;
    Post(s, kFdWrite, 0);
  }
  bool readWanted = s.readArmed && (s.mask & kFdRead);
  if (ready & (EventLoop::kReadable | EventLoop::kFailed)) {
    if (readWanted) {
      // A pending error (an ICMP report on a connected datagram socket) surfaces in
      // the owner's next receive, which also clears it.
      PostRead(s, kFdRead);
    } else {
      s.readLazy = false;
      if (ready & EventLoop::kFailed) TakeSocketError(s.fd);
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
  item.handle = s.fd;
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
      if (reading && (s.mask & kFdRead)) want |= EventLoop::kReadable;
      if (s.writeArmed && (s.mask & kFdWrite)) want |= EventLoop::kWritable;
    } else {
      switch (s.phase) {
        case Phase::kListening:
          if (reading && (s.mask & kFdAccept)) want |= EventLoop::kReadable;
          break;
        case Phase::kConnecting:
          want |= EventLoop::kWritable;
          break;
        case Phase::kConnected:
          if (!s.closeDone && !s.closeHeld) {
            if (reading && (s.mask & kFdRead)) {
              want |= EventLoop::kReadable;
            } else if (s.mask & kFdClose) {
              want |= EventLoop::kHangUp;
            }
          }
          if (s.writeArmed && (s.mask & kFdWrite)) want |= EventLoop::kWritable;
          break;
        case Phase::kIdle:
        case Phase::kFailed:
          break;  // an unconnected stream socket reports a hang-up forever: not watched
      }
    }
  }
  loop_.Modify(s.fd, want);
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
