#include "loop/SignalWatch.h"

#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>
#include <utility>

namespace toruna::loop {

namespace {

constexpr int kNotices[] = {SIGHUP, SIGQUIT, SIGUSR1, SIGUSR2, SIGALRM};

sigset_t TerminationSignals(bool notices = false) {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  if (notices) {
    for (int signo : kNotices) sigaddset(&set, signo);
  }
  return set;
}

int OpenSignalFd(bool notices = false) {
  const sigset_t set = TerminationSignals(notices);
  return signalfd(-1, &set, SFD_NONBLOCK | SFD_CLOEXEC);
}

}  // namespace

void SignalWatch::Block(bool notices) {
  const sigset_t set = TerminationSignals(notices);
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

bool SignalWatch::IsNotice(int signo) {
  for (int notice : kNotices) {
    if (notice == signo) return true;
  }
  return false;
}

SignalWatch::SignalWatch(bool notices) : fd_(OpenSignalFd(notices)) {
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

int SignalWatch::TakeOne() {
  signalfd_siginfo info;
  if (read(fd_, &info, sizeof info) != static_cast<ssize_t>(sizeof info)) return 0;
  return static_cast<int>(info.ssi_signo);
}

int SignalWatch::Take() {
  int last = 0;
  signalfd_siginfo info;
  while (read(fd_, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
    last = static_cast<int>(info.ssi_signo);
  }
  return last;
}

}  // namespace toruna::loop
