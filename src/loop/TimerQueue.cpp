#include "loop/TimerQueue.h"

#include <vector>

namespace toruna::loop {

TimerQueue::Id TimerQueue::Add(Clock::time_point when, Clock::duration period,
                               std::function<void()> callback) {
  const Id id = nextId_++;
  if (period < Clock::duration::zero()) period = Clock::duration::zero();
  timers_.emplace(id, Timer{when, period, std::move(callback)});
  order_.emplace(when, id);
  return id;
}

void TimerQueue::Cancel(Id id) {
  auto it = timers_.find(id);
  if (it == timers_.end()) return;
  order_.erase({it->second.when, id});
  timers_.erase(it);
}

TimerQueue::Clock::time_point TimerQueue::NextDeadline() const {
  return order_.empty() ? Clock::time_point::max() : order_.begin()->first;
}

size_t TimerQueue::RunDue(Clock::time_point now) {
  // What is due now is decided first: callbacks add and cancel timers as they run.
  std::vector<Id> due;
  const Id addedBefore = nextId_;
  for (const auto& [when, id] : order_) {
    if (when > now) break;
    if (id < addedBefore) due.push_back(id);
  }
  size_t ran = 0;
  for (Id id : due) {
    auto it = timers_.find(id);
    if (it == timers_.end()) continue;  // cancelled by an earlier callback
    Timer& timer = it->second;
    if (timer.when > now) continue;  // run meanwhile, by a nested call
    order_.erase({timer.when, id});
    if (timer.period <= Clock::duration::zero()) {
      std::function<void()> callback = std::move(timer.callback);
      timers_.erase(it);
      if (!callback) continue;
      ++ran;
      callback();
      continue;
    }
    const auto missed = (now - timer.when) / timer.period;
    timer.when += timer.period * (missed + 1);
    order_.emplace(timer.when, id);
    // Empty while it runs further up the stack (its callback ran a nested loop).
    if (!timer.callback) continue;
    std::function<void()> callback = std::move(timer.callback);
    // The callback goes back unless it cancelled its own timer (the map may have
    // rehashed meanwhile: look the timer up again).
    struct Restore {
      TimerQueue& queue;
      Id id;
      std::function<void()>& callback;
      ~Restore() {
        if (auto again = queue.timers_.find(id); again != queue.timers_.end()) {
          again->second.callback = std::move(callback);
        }
      }
    } restore{*this, id, callback};
    ++ran;
    callback();
  }
  return ran;
}

}  // namespace toruna::loop
