#include "net/linux/LoopScheduler.h"

#include <utility>

namespace toruna::net {

bool LoopScheduler::Defer(std::function<void()> work) {
  loop_.Defer(std::move(work));
  return true;
}

bool LoopScheduler::DeferFor(std::chrono::microseconds delay, std::function<void()> work) {
  loop_.RunAfter(delay, std::move(work));
  return true;
}

}  // namespace toruna::net
