#include "loop/SignalWatch.h"

#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>
#include <utility>

namespace toruna::loop {

namespace {

sigset_t TerminationSignals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  // Taken too, so that a hang-up never ends the server silently; the owner says
  // what it does with it.
  sigaddset(&set, SIGHUP);
  return set;
}

int OpenSignalFd() {
  const sigset_t set = TerminationSignals();
  return signalfd(-1, &set, SFD_NONBLOCK | SFD_CLOEXEC);
}

}  // namespace

void SignalWatch::Block() {
  const sigset_t set = TerminationSignals();
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

SignalWatch::SignalWatch() : fd_(OpenSignalFd()) {
  if (fd_ < 0) throw std::system_error(errno, std::generic_category(), "signalfd");
}

SignalWatch::SignalWatch(EventLoop& loop, std::function<void(int)> onSignal)
    : onSignal_(std::move(onSignal)), fd_(OpenSignalFd()) {
  if (fd_ < 0) {
    const sigset_t set = TerminationSignals();
    pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
    return;
  }
  loop_ = &loop;
  loop.Watch(fd_, EventLoop::kReadable, [this](uint32_t) {
    signalfd_siginfo info{};
    while (read(fd_, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
      if (onSignal_) onSignal_(static_cast<int>(info.ssi_signo));
    }
  });
}

SignalWatch::~SignalWatch() {
  if (fd_ < 0) return;
  if (loop_ != nullptr) loop_->Unwatch(fd_);
  close(fd_);
}

int SignalWatch::Take() {
  int last = 0;
  signalfd_siginfo info;
  while (read(fd_, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
    // A termination pending beside a hang-up wins, whatever came last.
    const int signo = static_cast<int>(info.ssi_signo);
    if (last == 0 || signo != SIGHUP) last = signo;
  }
  return last;
}

}  // namespace toruna::loop
