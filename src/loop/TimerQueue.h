#pragma once
// The loop's timers, one-shot and periodic, in the order of their deadlines. It
// does no I/O and reads no clock: the loop arms one timer descriptor for the
// earliest deadline and calls RunDue with the time when it fires, so a server's
// thousands of connection timers cost one descriptor.
// Ids are never reused: cancelling a timer that has run or was cancelled already
// does nothing, and a callback may cancel its own timer or any other.
// This class owns the callbacks.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <set>
#include <unordered_map>
#include <utility>

namespace toruna::loop {

class TimerQueue {
 public:
  using Clock = std::chrono::steady_clock;
  using Id = uint64_t;  // 0: no timer

  // A timer due at when; with a period above zero it comes again every period
  // after that, else once.
  Id Add(Clock::time_point when, Clock::duration period, std::function<void()> callback);
  void Cancel(Id id);

  bool Empty() const { return order_.empty(); }
  size_t Size() const { return order_.size(); }
  // The earliest deadline; Clock::time_point::max() when there is no timer.
  Clock::time_point NextDeadline() const;

  // Runs every timer due at now, the earliest first (timers due together in the
  // order they were added). A periodic timer is rescheduled before its callback
  // runs, on its own grid: periods missed while the loop was busy fold into one
  // call. Timers that the callbacks add wait for the next call, even when due.
  // Returns the number of callbacks run.
  size_t RunDue(Clock::time_point now);

 private:
  struct Timer {
    Clock::time_point when;
    Clock::duration period;
    // Moved out while it runs, so that a Cancel from inside it cannot destroy it.
    // Plain, not shared: a listener short of descriptors sets a timer, and a
    // sanitizer build cannot check a new polymorphic type without a descriptor.
    std::function<void()> callback;
  };

  std::unordered_map<Id, Timer> timers_;
  std::set<std::pair<Clock::time_point, Id>> order_;
  Id nextId_ = 1;
};

}  // namespace toruna::loop
