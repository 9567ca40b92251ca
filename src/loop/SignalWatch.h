#pragma once
// SIGINT, SIGTERM and SIGHUP as a readable descriptor (signalfd), so that the one loop
// thread handles them like any other input. Block() must run at the start of
// main, before any thread exists, or a signal could reach another thread.
// This class owns its descriptor.

#include <functional>

#include "loop/EventLoop.h"

namespace toruna::loop {

class SignalWatch {
 public:
  // Blocks SIGINT, SIGTERM and SIGHUP for the calling thread and threads it starts later.
  static void Block();

  // Throws std::system_error when no signalfd can be made.
  SignalWatch();
  // Calls onSignal from the loop for every signal taken. Without a signalfd
  // the signals are unblocked again, so that they end the program the default way.
  SignalWatch(EventLoop& loop, std::function<void(int signo)> onSignal);
  ~SignalWatch();
  SignalWatch(const SignalWatch&) = delete;
  SignalWatch& operator=(const SignalWatch&) = delete;

  int Fd() const { return fd_; }
  // Reads what is pending; the number of the last signal taken, SIGHUP only when
  // no other came with it; 0 when none.
  int Take();

 private:
  EventLoop* loop_ = nullptr;  // set while the loop watches fd_
  std::function<void(int)> onSignal_;
  int fd_ = -1;
};

}  // namespace toruna::loop
