#include "net/SocketTable.h"

#include <iterator>

namespace toruna::net {

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
    return entry.registered || HasRoute(entry) ? &entry : nullptr;
  }
  auto it = sparse_.find(s);
  return it == sparse_.end() ? nullptr : &it->second;
}

SocketTable::Entry& SocketTable::Get(SocketHandle s) {
  if (!Dense(s)) return sparse_[s];
  if (static_cast<size_t>(s) >= dense_.size()) dense_.resize(static_cast<size_t>(s) + 1);
  return dense_[static_cast<size_t>(s)];
}

void SocketTable::Erase(SocketHandle s) {
  if (!Dense(s)) {
    sparse_.erase(s);
  } else if (static_cast<size_t>(s) < dense_.size()) {
    dense_[static_cast<size_t>(s)] = Entry{};
  }
}

void SocketTable::DropRoute(SocketHandle s) {
  Entry* entry = Find(s);
  if (entry == nullptr) return;
  if (entry->registered) {
    entry->route.reset();
  } else {
    Erase(s);
  }
}

void SocketTable::DropAllRoutes() {
  for (Entry& entry : dense_) {
    if (!entry.registered) entry = Entry{};
    entry.route.reset();
  }
  for (auto it = sparse_.begin(); it != sparse_.end();) {
    it->second.route.reset();
    it = it->second.registered ? std::next(it) : sparse_.erase(it);
  }
}

}  // namespace toruna::net
