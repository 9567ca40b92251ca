#pragma once
// Owns the generator's connections, one epoll instance and one timer. Connects
// to 127.0.0.1 without blocking, reads whatever arrives and writes what the
// connections have queued. Level-triggered; one thread.

#include <sys/epoll.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "Connection.h"

namespace loadgen {

class Poller {
 public:
  // Called for every connection that completed its connect, and for every
  // batch of received bytes: the rest left unconsumed last time (kept in
  // Connection::in) followed by what arrived; returns the bytes it consumed.
  // Bytes are parsed where they were read, and only a partial message is copied.
  struct Handlers {
    std::function<void(Connection&)> connected;
    std::function<size_t(Connection&, const uint8_t* data, size_t n)> received;
  };

  explicit Poller(uint16_t port);
  ~Poller();
  Poller(const Poller&) = delete;
  Poller& operator=(const Poller&) = delete;

  Connection& Open(bool isPublisher);
  // Takes connections [from, Count()) out of the poll and hands over their
  // descriptors, still open, to be closed elsewhere; they stay in the list, closed.
  std::vector<int> Detach(size_t from);
  // Makes Poll return by the monotonic time `at` (seconds, as Now) at the
  // latest, to the microsecond rather than the millisecond of its timeout.
  void WakeAt(double at);
  // Writes as much of c's queue as the kernel takes; watches for room when
  // some is left. Throws when the connection has failed.
  void Flush(Connection& c);
  // Waits up to timeoutMs for events and handles them; then flushes every
  // connection that has bytes queued. Returns the number of events handled.
  int Poll(int timeoutMs, const Handlers& h);

  size_t Count() const { return conns_.size(); }
  Connection& At(size_t i) { return *conns_[i]; }
  uint64_t BytesIn() const { return bytesIn_; }

 private:
  void Watch(Connection& c, uint32_t events, int op);
  void FinishConnect(Connection& c, uint32_t events, const Handlers& h);
  void Receive(Connection& c, const Handlers& h);

  uint16_t port_;
  int epfd_ = -1;
  int timerFd_ = -1;
  std::vector<std::unique_ptr<Connection>> conns_;
  std::vector<epoll_event> events_;
  std::vector<uint8_t> scratch_;
  std::vector<Connection*> dirty_;  // connections that may have bytes queued
  uint64_t bytesIn_ = 0;
};

// Raises the soft limit of open descriptors to the hard limit; returns it.
uint64_t RaiseFileLimit();

}  // namespace loadgen
