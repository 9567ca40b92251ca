#include "SignalWatch.h"

#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

namespace toruna::cli {

namespace {
sigset_t WatchedSignals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  return set;
}
}  // namespace

void SignalWatch::BlockEarly() {
  sigset_t set = WatchedSignals();
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

SignalWatch::SignalWatch(net::EventLoop& loop, std::function<void(int)> onSignal)
    : loop_(loop), onSignal_(std::move(onSignal)) {
  sigset_t set = WatchedSignals();
  fd_ = signalfd(-1, &set, SFD_NONBLOCK | SFD_CLOEXEC);
  if (fd_ < 0) {
    // Without a signalfd, Ctrl-C ends the program the default way.
    pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
    return;
  }
  loop_.Watch(fd_, net::EventLoop::kReadable, [this](uint32_t) {
    signalfd_siginfo info{};
    while (read(fd_, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
      if (onSignal_) onSignal_(static_cast<int>(info.ssi_signo));
    }
  });
}

SignalWatch::~SignalWatch() {
  if (fd_ >= 0) {
    loop_.Unwatch(fd_);
    close(fd_);
  }
}

}  // namespace toruna::cli
