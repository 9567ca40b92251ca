#include "server/Housekeeping.h"

namespace toruna::server {

void Housekeeping::Tick(const session::KeyedCollection<std::shared_ptr<session::clsClient>>& connections,
                        RosterCache& roster) {
  for (const auto& entry : connections) entry.item->ReleaseIdleMemory();
  roster.ReleaseIfUnused();
  trimmer_.Tick();
}

}  // namespace toruna::server
