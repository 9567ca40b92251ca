#include "app/LogOutput.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <system_error>

#include "loop/EventLoop.h"

namespace toruna::app {

LogOutput::LogOutput(loop::EventLoop& loop, int fd, size_t capacity)
    : loop_(loop), fd_(fd), capacity_(capacity) {
  struct stat info {};
  if (fstat(fd, &info) != 0) {
    gone_ = true;
    return;
  }
  if (S_ISSOCK(info.st_mode)) {
    socket_ = true;
  } else if (S_ISFIFO(info.st_mode) || S_ISCHR(info.st_mode)) {
    // A description of our own: O_NONBLOCK on the shared one would reach the
    // shell or the other writers of the same pipe.
    const std::string path = "/proc/self/fd/" + std::to_string(fd);
    const int own = open(path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (own >= 0) {
      fd_ = own;
      ownFd_ = true;
    }
  }
  // A plain file never makes a writer wait for a reader; it is written as it is.
}

LogOutput::~LogOutput() {
  if (watching_) loop_.Unwatch(fd_);
  // One last try for what waits; what the output does not take now is lost.
  if (!gone_ && !held_.empty()) WriteSome(held_.data(), held_.size());
  if (ownFd_) close(fd_);
}

long LogOutput::WriteSome(const char* data, size_t size) {
  for (;;) {
    const ssize_t n = socket_ ? send(fd_, data, size, MSG_DONTWAIT | MSG_NOSIGNAL)
                              : write(fd_, data, size);
    if (n >= 0) return static_cast<long>(n);
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) return 0;
    // EPIPE and the like: the reader is gone and will not come back.
    gone_ = true;
    held_.clear();
    held_.shrink_to_fit();
    return -1;
  }
}

void LogOutput::Line(std::string_view line) {
  if (gone_) return;
  if (held_.size() + line.size() + 1 > capacity_) {
    ++dropped_;
    ++droppedTotal_;
    return;
  }
  held_.append(line);
  held_.push_back('\n');
  // Once behind, lines wait for writability in order.
  if (!watching_) Drain();
}

void LogOutput::Report() {
  if (dropped_ == 0) return;
  std::string line = std::to_string(dropped_) + " log lines dropped (the output was not read)\n";
  if (held_.size() + line.size() > capacity_) return;
  held_ += line;
  dropped_ = 0;
}

void LogOutput::Drain() {
  while (!held_.empty() && !gone_) {
    const long n = WriteSome(held_.data(), held_.size());
    if (n < 0) break;
    if (n == 0) {
      if (!watching_) {
        try {
          loop_.Watch(fd_, loop::EventLoop::kWritable, [this](uint32_t) { Drain(); });
          watching_ = true;
        } catch (const std::system_error&) {
          // Not pollable: what waits leaves with the next line.
        }
      }
      return;
    }
    held_.erase(0, static_cast<size_t>(n));
    if (held_.empty()) Report();
  }
  if (watching_) {
    loop_.Unwatch(fd_);
    watching_ = false;
  }
  if (held_.capacity() > capacity_) held_.shrink_to_fit();
}

}  // namespace toruna::app
