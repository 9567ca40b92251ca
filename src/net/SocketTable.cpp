#include "net/SocketTable.h"

#include <iterator>

namespace toruna::net {

// A server keeps one record per connection.
static_assert(sizeof(SocketTable::Entry) <= 16, "the socket table's record outgrows 16 bytes");

bool SocketTable::HasRoute(const Entry& entry) {
  // An expired reference still names the object it had; an empty one names none.
  const std::weak_ptr<CNetSocket> none;
  return entry.route.owner_before(none) || none.owner_before(entry.route);
}

SocketTable::Entry* SocketTable::Find(SocketHandle s) {
  return const_cast<Entry*>(static_cast<const SocketTable&>(*this).Find(s));
}

const SocketTable::Entry* SocketTable::Find(SocketHandle s) const {
  if (Dense(s)) {
    if (static_cast<size_t>(s) >= dense_.size()) return nullptr;
    const Entry& entry = dense_[static_cast<size_t>(s)];
    return denseRegistered_[static_cast<size_t>(s)] || HasRoute(entry) ? &entry : nullptr;
  }
  auto it = sparse_.find(s);
  return it == sparse_.end() ? nullptr : &it->second.entry;
}

SocketTable::Entry& SocketTable::Get(SocketHandle s) {
  if (!Dense(s)) return sparse_[s].entry;
  if (static_cast<size_t>(s) >= dense_.size()) {
    dense_.resize(static_cast<size_t>(s) + 1);
    denseRegistered_.resize(dense_.size());
  }
  return dense_[static_cast<size_t>(s)];
}

bool SocketTable::Registered(SocketHandle s) const {
  if (Dense(s)) return static_cast<size_t>(s) < dense_.size() && denseRegistered_[static_cast<size_t>(s)];
  auto it = sparse_.find(s);
  return it != sparse_.end() && it->second.registered;
}

void SocketTable::SetRegistered(SocketHandle s) {
  Get(s);
  if (Dense(s)) {
    denseRegistered_[static_cast<size_t>(s)] = true;
  } else {
    sparse_[s].registered = true;
  }
}

void SocketTable::Erase(SocketHandle s) {
  if (!Dense(s)) {
    sparse_.erase(s);
  } else if (static_cast<size_t>(s) < dense_.size()) {
    dense_[static_cast<size_t>(s)] = Entry{};
    denseRegistered_[static_cast<size_t>(s)] = false;
  }
}

void SocketTable::DropRoute(SocketHandle s) {
  Entry* entry = Find(s);
  if (entry == nullptr) return;
  if (Registered(s)) {
    entry->route.reset();
  } else {
    Erase(s);
  }
}

void SocketTable::DropAllRoutes() {
  for (Entry& entry : dense_) entry.route.reset();
  for (auto it = sparse_.begin(); it != sparse_.end();) {
    it->second.entry.route.reset();
    it = it->second.registered ? std::next(it) : sparse_.erase(it);
  }
}

}  // namespace toruna::net
