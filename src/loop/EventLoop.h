#pragma once
// A single-threaded reactor: descriptors with a readiness interest and a handler,
// timers (one-shot and periodic, all on one queue and one descriptor), and work
// deferred to the end of the current batch. It knows nothing of sockets' meaning;
// the epoll calls are in EpollPoller. It runs on its own (Run until Stop) or inside
// another toolkit's loop (watch Fd(), call ProcessReady when it is readable).
// This class owns its backend and its timer and wake-up descriptors, not the
// descriptors it watches.

#include <chrono>
#include <cstdint>
#include <functional>

namespace toruna::loop {

// Receives the readiness of descriptors watched with it. The loop does not own it:
// it must stay alive until its descriptors are unwatched.
class FdHandler {
 public:
  virtual void OnFdReady(int fd, uint32_t ready) = 0;

 protected:
  ~FdHandler() = default;
};

class EventLoop {
 public:
  static constexpr uint32_t kReadable = 1;
  static constexpr uint32_t kWritable = 2;
  static constexpr uint32_t kHangUp = 4;  // peer closed its side (EPOLLRDHUP/EPOLLHUP)
  static constexpr uint32_t kFailed = 8;  // error pending on the descriptor (EPOLLERR)

  using FdCallback = std::function<void(uint32_t ready)>;
  using TimerId = uint64_t;  // 0: no timer

  EventLoop();
  ~EventLoop();
  EventLoop(const EventLoop&) = delete;
  EventLoop& operator=(const EventLoop&) = delete;

  // Watching; interest is a combination of kReadable and kWritable, and kHangUp to
  // hear of the peer's close without watching for data (0: watch nothing but stay
  // registered). Level-triggered. Watching a number again replaces the registration:
  // readiness already collected for the old one is not delivered to the new one.
  // Watch throws std::system_error when epoll refuses the descriptor (a plain file).
  void Watch(int fd, uint32_t interest, FdCallback callback);
  // The same with a handler the caller keeps alive: nothing is allocated per
  // descriptor but its record (a server watches thousands of connections).
  void Watch(int fd, uint32_t interest, FdHandler& handler);
  // False when epoll refuses the descriptor (errno says why); see Hold.
  bool Modify(int fd, uint32_t interest);
  void Unwatch(int fd);
  // Gives a watched descriptor its place in the epoll set now, interest or not, and
  // keeps it there until Unwatch: changes of interest after this cannot be refused
  // (epoll refuses only new members: its limit on watches, no memory). False, with
  // errno set, when epoll refuses it now.
  bool Hold(int fd);

  // Timers. A one-shot timer calls once, delay from now; a periodic one every
  // interval (at least a millisecond), the first call one interval from now, with
  // intervals missed while the loop was busy folded into one call. Timers due
  // together run in the order they were made. Ids are never reused: cancelling a
  // timer that has run or was cancelled does nothing, also from inside a callback.
  TimerId RunAfter(std::chrono::microseconds delay, std::function<void()> callback);
  TimerId AddTimer(std::chrono::microseconds interval, std::function<void()> callback);
  void CancelTimer(TimerId id);

  // Runs callback once, after every callback of the current batch has run (or on the
  // next ProcessReady when called outside a batch). Work that deferred work defers
  // runs in the same call of ProcessReady, up to a bounded number of rounds.
  void Defer(std::function<void()> callback);

  // A front end that is about to run a loop of its own inside a callback (a modal
  // dialog that watches Fd()) calls this first: work deferred by the callback so far
  // then makes Fd() readable for that loop, which ProcessReady otherwise sees to
  // before it returns.
  void BeforeNestedLoop();

  // Run handles work until Stop. Stop is final: a Run after it returns at once, and
  // Stopped() stays true (an embedding front end reads it to end its own loop).
  void Run();
  // With spinning on, Run looks for the next event for a few tens of microseconds
  // before it sleeps, while events come densely: a server under load answers
  // sooner, at the cost of some processor time. Off by default, and a no-op in a
  // build without a spin limit (the default build).
  void SpinBeforeSleep(bool on);
  void Stop();
  bool Stopped() const;

  // Embedding: a descriptor that is readable whenever ProcessReady has work, and the
  // call that does that work. ProcessReady waits at most timeoutMs (0: no wait).
  int Fd() const;
  void ProcessReady(int timeoutMs = 0);

 private:
  // One wait and what it found; the number of descriptors reported (-1: failed).
  int Poll(int timeoutMs);

  struct Impl;
  Impl* impl_;
};

}  // namespace toruna::loop
