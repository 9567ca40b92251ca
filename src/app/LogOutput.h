#pragma once
// Where the headless server's log lines go (standard output), written without
// ever blocking the loop: a pipe nobody reads, a stopped terminal or a slow
// journal must not freeze the relay. Lines the output does not take at once
// wait in a bounded buffer and leave when it becomes writable; a line that does
// not fit is dropped and counted, and the count is written as a line of its own
// once there is room. When the reader is gone for good (EPIPE) nothing more is
// written. SIGPIPE must be ignored by the program (main does so).

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace toruna::loop {
class EventLoop;
}  // namespace toruna::loop

namespace toruna::app {

class LogOutput {
 public:
  static constexpr size_t kDefaultCapacity = 65536;

  // fd: the descriptor to write to (not closed here). A pipe or a terminal is
  // opened again without blocking, so that the flag does not reach the other
  // processes sharing it; a socket is written with MSG_DONTWAIT.
  LogOutput(loop::EventLoop& loop, int fd, size_t capacity = kDefaultCapacity);
  ~LogOutput();
  LogOutput(const LogOutput&) = delete;
  LogOutput& operator=(const LogOutput&) = delete;

  // One entry; the line feed is added here.
  void Line(std::string_view line);

  uint64_t Dropped() const { return droppedTotal_; }
  size_t Held() const { return held_.size(); }

 private:
  // Writes as much of held_ as the output takes; watches for writability while
  // some is left.
  void Drain();
  long WriteSome(const char* data, size_t size);
  void Report();

  loop::EventLoop& loop_;
  int fd_ = -1;
  bool ownFd_ = false;
  bool socket_ = false;
  bool gone_ = false;
  bool watching_ = false;
  size_t capacity_;
  std::string held_;
  uint64_t dropped_ = 0;       // since the last report
  uint64_t droppedTotal_ = 0;
};

}  // namespace toruna::app
