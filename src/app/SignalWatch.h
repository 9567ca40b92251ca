#pragma once
// SIGTERM and SIGINT as a readable descriptor (signalfd), so that the one loop
// thread handles them like any other input. Block() must run at the start of
// main, before any thread exists, or a signal could reach another thread.
// This class owns its descriptor.

namespace toruna::app {

class SignalWatch {
 public:
  // Blocks SIGTERM and SIGINT for the calling thread and threads it starts later.
  static void Block();

  SignalWatch();
  ~SignalWatch();
  SignalWatch(const SignalWatch&) = delete;
  SignalWatch& operator=(const SignalWatch&) = delete;

  int Fd() const { return fd_; }
  // Reads what is pending; the number of the last signal taken, 0 when none.
  int Take();

 private:
  int fd_ = -1;
};

}  // namespace toruna::app
