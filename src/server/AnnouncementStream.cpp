#include "server/AnnouncementStream.h"

#include <algorithm>
#include <utility>

namespace toruna::server {

void AnnouncementStream::Add(std::span<const uint8_t> B, uint64_t mark, int32_t except) {
  next_.entries.push_back({mark, except, static_cast<uint32_t>(next_.bytes.size()),
                           static_cast<uint32_t>(B.size())});
  next_.bytes.insert(next_.bytes.end(), B.begin(), B.end());
}

bool AnnouncementStream::BeginRound(std::vector<int32_t> clients) {
  if (!round_.entries.empty()) return true;
  if (next_.entries.empty()) return false;
  std::swap(round_, next_);
  next_.entries.clear();
  next_.bytes.clear();
  clients_ = std::move(clients);
  cursor_ = clients_.size();
  return true;
}

bool AnnouncementStream::NextClient(int32_t& id, size_t& position) {
  if (cursor_ == 0) {
    // The round is over; a storm's buffers go back with it.
    round_ = Batch();
    std::vector<int32_t>().swap(clients_);
    return false;
  }
  position = --cursor_;
  id = clients_[position];
  return true;
}

size_t AnnouncementStream::FirstAfter(uint64_t registeredAt) const {
  const auto& entries = round_.entries;
  return static_cast<size_t>(
      std::upper_bound(entries.begin(), entries.end(), registeredAt,
                       [](uint64_t mark, const Entry& e) { return mark < e.mark; }) -
      entries.begin());
}

}  // namespace toruna::server
