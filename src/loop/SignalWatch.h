#pragma once
// SIGINT and SIGTERM as a readable descriptor (signalfd), so that the one loop
// thread handles them like any other input. A server also takes the signals
// whose default action would end it without a word (Notices()): it decides. Block() must run at the start of
// main, before any thread exists, or a signal could reach another thread.
// This class owns its descriptor.

#include <functional>

#include "loop/EventLoop.h"

namespace toruna::loop {

class SignalWatch {
 public:
  // Blocks SIGINT and SIGTERM (and with notices, SIGHUP, SIGQUIT, SIGUSR1,
  // SIGUSR2 and SIGALRM) for the calling thread and threads it starts later.
  static void Block(bool notices = false);
  // Whether signo is one of the signals that Block(true) adds.
  static bool IsNotice(int signo);

  // Throws std::system_error when no signalfd can be made.
  explicit SignalWatch(bool notices = false);
  // Calls onSignal from the loop for every signal taken. Without a signalfd
  // the signals are unblocked again, so that they end the program the default way.
  SignalWatch(EventLoop& loop, std::function<void(int signo)> onSignal);
  ~SignalWatch();
  SignalWatch(const SignalWatch&) = delete;
  SignalWatch& operator=(const SignalWatch&) = delete;

  int Fd() const { return fd_; }
  // Reads what is pending; the number of the last signal taken, 0 when none.
  int Take();
  // Reads one pending signal; its number, 0 when none is pending.
  int TakeOne();

 private:
  EventLoop* loop_ = nullptr;  // set while the loop watches fd_
  std::function<void(int)> onSignal_;
  int fd_ = -1;
};

}  // namespace toruna::loop
