#pragma once
// Ctrl-C and termination requests as loop events: SIGINT and SIGTERM are
// blocked (BlockEarly, before any thread starts, so that no thread takes them
// the default way) and read from a signalfd that the loop watches.
// This class owns the signalfd.

#include <functional>

#include "net/linux/EventLoop.h"

namespace toruna::cli {

class SignalWatch {
 public:
  // Blocks SIGINT and SIGTERM in the calling thread and the threads it starts.
  static void BlockEarly();

  SignalWatch(net::EventLoop& loop, std::function<void(int signo)> onSignal);
  ~SignalWatch();
  SignalWatch(const SignalWatch&) = delete;
  SignalWatch& operator=(const SignalWatch&) = delete;

 private:
  net::EventLoop& loop_;
  std::function<void(int)> onSignal_;
  int fd_ = -1;
};

}  // namespace toruna::cli
