#pragma once
// Pumping an event loop while a test waits for something to happen.

#include <chrono>
#include <functional>

#include "loop/EventLoop.h"

namespace toruna::loop::testing {

// Runs the loop until done() holds; false when it still does not after a
// generous bound (a hang guard, not a speed check).
inline bool PumpUntil(EventLoop& loop, const std::function<bool()>& done,
                      std::chrono::milliseconds limit = std::chrono::milliseconds(5000)) {
  const auto end = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() > end) return false;
    loop.ProcessReady(10);
  }
  return true;
}

// Runs the loop for a while, for checks that something does NOT happen.
inline void PumpFor(EventLoop& loop, std::chrono::milliseconds span) {
  const auto end = std::chrono::steady_clock::now() + span;
  while (std::chrono::steady_clock::now() < end) loop.ProcessReady(10);
}

}  // namespace toruna::loop::testing
