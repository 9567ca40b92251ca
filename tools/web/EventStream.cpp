#include "EventStream.h"

#include <microhttpd.h>
#include <sys/socket.h>

#include <algorithm>
#include <cstring>

namespace toruna::web {

EventStream::EventStream(net::EventLoop& loop, MHD_Connection* connection, uint64_t id, size_t limit,
                         std::function<void()> wake)
    : loop_(loop), connection_(connection), id_(id), limit_(limit), wake_(std::move(wake)) {}

EventStream::~EventStream() { UnwatchHangUp(); }

bool EventStream::Send(std::string_view type, std::string_view data) {
  if (ended_) return false;
  std::string message;
  message.reserve(type.size() + data.size() + 16);
  message.append("event: ").append(type).append("\ndata: ").append(data).append("\n\n");
  Append(message);
  return !ended_;
}

void EventStream::KeepAlive() {
  if (!ended_) Append(":\n\n");
}

void EventStream::Append(std::string_view text) {
  if (Pending() + text.size() > limit_) {
    // The browser reads slower than the events come: rather than keep an
    // ever longer backlog, end the stream. A live page reconnects and starts
    // afresh from the current state.
    dropped_ = true;
    End();
    Abort();
    return;
  }
  if (head_ > 0 && head_ >= queue_.size() / 2) {
    queue_.erase(0, head_);
    head_ = 0;
  }
  queue_.append(text);
  Wake();
}

void EventStream::End() {
  if (ended_) return;
  ended_ = true;
  queue_.clear();
  queue_.shrink_to_fit();
  head_ = 0;
  Wake();
}

void EventStream::Abort() {
  // libmicrohttpd would take the ended stream up only once the socket takes
  // more bytes, which a browser that does not read may never allow. Shut the
  // connection down (reset, dropping what the kernel holds for it) so that
  // libmicrohttpd sees its end now and closes it.
  const MHD_ConnectionInfo* info = MHD_get_connection_info(connection_, MHD_CONNECTION_INFO_CONNECTION_FD);
  if (info == nullptr || closed_) return;
  const linger reset{1, 0};
  setsockopt(info->connect_fd, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
  shutdown(info->connect_fd, SHUT_RDWR);
}

void EventStream::Wake() {
  if (!suspended_ || closed_) return;
  suspended_ = false;
  // The socket goes back to libmicrohttpd, which must be the only one to see
  // it from now on (it may close it).
  UnwatchHangUp();
  MHD_resume_connection(connection_);
  wake_();
}

ssize_t EventStream::Read(char* buf, size_t max) {
  if (ended_) return MHD_CONTENT_READER_END_WITH_ERROR;
  const size_t n = std::min(max, Pending());
  if (n == 0) {
    // Nothing to send: off libmicrohttpd's poll set until there is.
    MHD_suspend_connection(connection_);
    suspended_ = true;
    WatchHangUp();
    return 0;
  }
  std::memcpy(buf, queue_.data() + head_, n);
  head_ += n;
  if (head_ == queue_.size()) {
    queue_.clear();
    head_ = 0;
  }
  return static_cast<ssize_t>(n);
}

void EventStream::Closed() {
  closed_ = true;
  ended_ = true;
  UnwatchHangUp();
}

void EventStream::WatchHangUp() {
  const MHD_ConnectionInfo* info = MHD_get_connection_info(connection_, MHD_CONNECTION_INFO_CONNECTION_FD);
  if (info == nullptr) return;
  watchedFd_ = info->connect_fd;
  try {
    loop_.Watch(watchedFd_, net::EventLoop::kHangUp, [this](uint32_t) {
      // The browser went away (closed the page) while nothing was being sent.
      End();
    });
  } catch (const std::exception&) {
    watchedFd_ = -1;  // noticed at the next keep-alive instead
  }
}

void EventStream::UnwatchHangUp() {
  if (watchedFd_ < 0) return;
  loop_.Unwatch(watchedFd_);
  watchedFd_ = -1;
}

}  // namespace toruna::web
