#include "net/FlushScheduler.h"

#include "net/CNetSocket.h"
#include "net/Scheduler.h"

namespace toruna::net {

FlushScheduler::FlushScheduler(Scheduler* scheduler) : scheduler_(scheduler) {}

bool FlushScheduler::AtEndOfBatch(CNetSocket& object) {
  if (!endOfBatch_.scheduled) {
    std::weak_ptr<char> alive = alive_;
    if (scheduler_ == nullptr || !scheduler_->Defer([this, alive] {
          if (!alive.expired()) Run(endOfBatch_, &CNetSocket::DeferredFlush);
        })) {
      return false;
    }
    endOfBatch_.scheduled = true;
  }
  endOfBatch_.objects.push_back(object.weak_from_this());
  return true;
}

bool FlushScheduler::Later(CNetSocket& object) {
  if (!later_.scheduled) {
    std::weak_ptr<char> alive = alive_;
    if (scheduler_ == nullptr || !scheduler_->DeferFor(CNetSocket::kSendLaterDelay, [this, alive] {
          if (!alive.expired()) Run(later_, &CNetSocket::LateFlush);
        })) {
      return false;
    }
    later_.scheduled = true;
  }
  later_.objects.push_back(object.weak_from_this());
  return true;
}

void FlushScheduler::Run(List& list, void (CNetSocket::*flush)()) {
  list.scheduled = false;
  // Hand-overs fire events whose handlers may send again (a new deferral) or run
  // the loop (a modal box); this round works on its own list.
  std::vector<std::weak_ptr<CNetSocket>> batch;
  batch.swap(list.objects);
  for (const std::weak_ptr<CNetSocket>& entry : batch) {
    if (std::shared_ptr<CNetSocket> object = entry.lock()) ((*object).*flush)();
  }
  // Keep the list's storage for the next batch, unless a burst (a newcomer announced
  // to thousands) made it larger than busy batches need: idle, it would stay for good.
  if (batch.capacity() > kKeptEntries) return;
  batch.clear();
  if (list.objects.empty()) list.objects.swap(batch);
}

}  // namespace toruna::net
