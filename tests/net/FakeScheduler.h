#pragma once
// A Scheduler decorator for tests: forwards to a real scheduler unless told to
// act as one that cannot defer work, or one without a timer.

#include <chrono>
#include <functional>
#include <utility>

#include "net/Scheduler.h"

namespace toruna::net::testing {

class FakeScheduler : public Scheduler {
 public:
  explicit FakeScheduler(Scheduler& real) : real_(real) {}

  bool Defer(std::function<void()> work) override {
    if (refuseDeferral) return false;
    return real_.Defer(std::move(work));
  }
  bool DeferFor(std::chrono::microseconds delay, std::function<void()> work) override {
    if (refuseTimer) return false;
    return real_.DeferFor(delay, std::move(work));
  }

  bool refuseDeferral = false;
  bool refuseTimer = false;

 private:
  Scheduler& real_;
};

}  // namespace toruna::net::testing
