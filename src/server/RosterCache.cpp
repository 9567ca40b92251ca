#include "server/RosterCache.h"

#include "protocol/Frame.h"

namespace toruna::server {

const std::vector<uint8_t>& RosterCache::Get(const std::function<void(RosterCache&)>& fill) {
  used_ = true;
  if (!valid_) {
    if (frames_ && frames_.use_count() == 1) {
      frames_->clear();
    } else {
      frames_ = std::make_shared<std::vector<uint8_t>>();  // the old one is still read
    }
    fill(*this);
    valid_ = true;
  }
  return *frames_;
}

void RosterCache::AddClient(int32_t clientId, std::span<const uint8_t> wireName) {
  Append(protocol::frames::ClientInfo(clientId, wireName));
}

void RosterCache::AddEvent(int32_t ownerId, int32_t eventId, int16_t interval, int16_t max,
                           std::span<const uint8_t> wireText) {
  Append(protocol::frames::EventInfo(ownerId, eventId, interval, max, wireText));
}

void RosterCache::Registered(std::span<const uint8_t> clientInfo) {
  if (valid_) Append(clientInfo);
}

void RosterCache::ReleaseIfUnused() {
  if (!used_) {
    frames_.reset();
    valid_ = false;
  }
  used_ = false;
}

}  // namespace toruna::server
