#include "server/Housekeeping.h"

#include "base/BlockPool.h"

namespace toruna::server {

void Housekeeping::Tick(const session::KeyedCollection<std::shared_ptr<session::clsClient>>& connections,
                        RosterCache& roster) {
  // From the first tick on, emptied slabs wait for the next one instead of being
  // unmapped one by one in the middle of a burst.
  base::BlockPool::KeepEmptySlabs(true);
  for (const auto& entry : connections) entry.item->ReleaseIdleMemory();
  roster.ReleaseIfUnused();
  base::BlockPool::ReleaseEmptySlabs();
  trimmer_.Tick();
}

}  // namespace toruna::server
