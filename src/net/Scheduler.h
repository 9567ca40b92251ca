#pragma once
// What the socket layer needs of a loop besides the platform's calls: work put
// off to the end of the batch of notifications being handled, and work put off by
// a short delay. The dispatcher is given one; a program's loop implements it
// (LoopScheduler), and so do the in-memory platform of the fuzz targets and the
// test fakes. Both run the work once, on the loop's thread.

#include <chrono>
#include <functional>

namespace toruna::net {

class Scheduler {
 public:
  // Runs work after the notifications being delivered now have all been handled
  // (outside a delivery: soon). False when this scheduler cannot defer work.
  virtual bool Defer(std::function<void()> work) = 0;
  // Runs work delay from now. False when this scheduler has no timer.
  virtual bool DeferFor(std::chrono::microseconds delay, std::function<void()> work) = 0;

 protected:
  ~Scheduler() = default;
};

}  // namespace toruna::net
