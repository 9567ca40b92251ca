#pragma once
// The loop's backend on Linux: the kernel's set of watched descriptors and one
// wait on it. It keeps no record of its own: the loop says which events each
// descriptor is to report and under which key, and gets the keys back with what
// became ready, in the loop's terms (EventLoop::kReadable, kWritable, kHangUp,
// kFailed). Level-triggered.
// This class owns the epoll descriptor, not the descriptors in its set.

#include <cstdint>

namespace toruna::loop {

class EpollPoller {
 public:
  struct Ready {
    uint64_t key = 0;
    uint32_t events = 0;  // EventLoop::kReadable, ... as reported, whatever was asked
  };

  // Throws std::system_error when no epoll descriptor can be made.
  EpollPoller();
  ~EpollPoller();
  EpollPoller(const EpollPoller&) = delete;
  EpollPoller& operator=(const EpollPoller&) = delete;

  // Readable while something in the set is ready.
  int Fd() const { return epollFd_; }

  // Puts fd into the set (inSet false) or changes its entry (inSet true) so that it
  // reports the events of interest (EventLoop's bits) under key. Interest 0 keeps
  // fd in the set but quiet after at most one report of a hang-up or an error.
  // False, with errno set, when epoll refuses the descriptor.
  bool Set(int fd, uint64_t key, uint32_t interest, bool inSet);
  void Remove(int fd);

  // Waits up to timeoutMs (-1: without limit, 0: not at all) and fills out with up
  // to capacity entries; the number filled, or -1 when the wait failed.
  int Wait(Ready* out, int capacity, int timeoutMs);

 private:
  int epollFd_ = -1;
};

}  // namespace toruna::loop
