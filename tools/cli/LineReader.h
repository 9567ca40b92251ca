#pragma once
// Reads a descriptor (standard input) line by line without blocking the loop:
// pipes, sockets and terminals are watched by the loop; files (and /dev/null),
// which the loop cannot watch and which never block, are read at Start.
// Lines end at '\n'; a '\r' before it and blanks around the text are dropped;
// a last line without '\n' counts. This class does not own the descriptor.

#include <functional>
#include <string>
#include <string_view>

#include "loop/EventLoop.h"

namespace toruna::cli {

class LineReader {
 public:
  LineReader(loop::EventLoop& loop, int fd, std::function<void(const std::string&)> onLine,
             std::function<void()> onEnd);
  ~LineReader();
  LineReader(const LineReader&) = delete;
  LineReader& operator=(const LineReader&) = delete;

  void Start();
  // Stops and resumes watching (a watched descriptor only), so that a fast
  // writer waits in the pipe instead of in memory.
  void Pause();
  void Resume();
  bool Ended() const { return ended_; }

  // The splitting, fed by Start and the loop; public for tests.
  void Take(std::string_view chunk);
  void Finish();

 private:
  void ReadOnce();

  loop::EventLoop& loop_;
  int fd_;
  std::function<void(const std::string&)> onLine_;
  std::function<void()> onEnd_;
  std::string partial_;
  bool watching_ = false;
  bool ended_ = false;
};

}  // namespace toruna::cli
