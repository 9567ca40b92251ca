#include "loop/TimerQueue.h"

#include <vector>

namespace toruna::loop {

TimerQueue::Id TimerQueue::Add(Clock::time_point when, Clock::duration period,
                               std::function<void()> callback) {
  const Id id = nextId_++;
  if (period < Clock::duration::zero()) period = Clock::duration::zero();
  timers_.emplace(id, Timer{when, period, std::make_shared<std::function<void()>>(std::move(callback))});
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
    std::shared_ptr<std::function<void()>> callback = timer.callback;
    order_.erase({timer.when, id});
    if (timer.period > Clock::duration::zero()) {
      const auto missed = (now - timer.when) / timer.period;
      timer.when += timer.period * (missed + 1);
      order_.emplace(timer.when, id);
    } else {
      timers_.erase(it);
    }
    ++ran;
    (*callback)();
  }
  return ran;
}

}  // namespace toruna::loop
