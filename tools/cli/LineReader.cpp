#include "LineReader.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace toruna::cli {

namespace {
std::string Trim(std::string_view s) {
  const char* blanks = " \t\r\f\v";
  const size_t b = s.find_first_not_of(blanks);
  if (b == std::string_view::npos) return "";
  const size_t e = s.find_last_not_of(blanks);
  return std::string(s.substr(b, e - b + 1));
}
}  // namespace

LineReader::LineReader(loop::EventLoop& loop, int fd, std::function<void(const std::string&)> onLine,
                       std::function<void()> onEnd)
    : loop_(loop), fd_(fd), onLine_(std::move(onLine)), onEnd_(std::move(onEnd)) {}

LineReader::~LineReader() {
  if (watching_) loop_.Unwatch(fd_);
}

void LineReader::Start() {
  struct stat st {};
  const bool pollable = fstat(fd_, &st) == 0 &&
                        (S_ISFIFO(st.st_mode) || S_ISSOCK(st.st_mode) || isatty(fd_));
  if (!pollable) {
    while (!ended_) ReadOnce();
    return;
  }
  loop_.Watch(fd_, loop::EventLoop::kReadable, [this](uint32_t) { ReadOnce(); });
  watching_ = true;
}

void LineReader::Pause() {
  if (watching_) loop_.Modify(fd_, 0);
}

void LineReader::Resume() {
  if (watching_) loop_.Modify(fd_, loop::EventLoop::kReadable);
}

void LineReader::ReadOnce() {
  if (ended_) return;
  char buf[4096];
  const ssize_t n = read(fd_, buf, sizeof buf);
  if (n > 0) {
    Take(std::string_view(buf, static_cast<size_t>(n)));
    return;
  }
  if (n < 0 && (errno == EINTR || errno == EAGAIN)) return;
  if (watching_) {
    loop_.Unwatch(fd_);
    watching_ = false;
  }
  Finish();
}

void LineReader::Take(std::string_view chunk) {
  partial_.append(chunk);
  size_t start = 0;
  for (size_t nl; (nl = partial_.find('\n', start)) != std::string::npos; start = nl + 1) {
    onLine_(Trim(std::string_view(partial_).substr(start, nl - start)));
  }
  partial_.erase(0, start);
}

void LineReader::Finish() {
  if (ended_) return;
  ended_ = true;
  if (!Trim(partial_).empty()) onLine_(Trim(partial_));
  partial_.clear();
  if (onEnd_) onEnd_();
}

}  // namespace toruna::cli
