#pragma once
// The socket layer's scheduler on the event loop: deferred work at the end of the
// loop's batch, delayed work on its timer queue. Notifications are delivered from
// the loop's deferred work too, so work deferred while they are handled runs after
// the whole batch. This class does not own the loop.

#include "loop/EventLoop.h"
#include "net/Scheduler.h"

namespace toruna::net {

class LoopScheduler : public Scheduler {
 public:
  explicit LoopScheduler(loop::EventLoop& loop) : loop_(loop) {}

  bool Defer(std::function<void()> work) override;
  bool DeferFor(std::chrono::microseconds delay, std::function<void()> work) override;

 private:
  loop::EventLoop& loop_;
};

}  // namespace toruna::net
