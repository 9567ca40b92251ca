#pragma once
// The dispatcher's record of each socket handle: whether it is registered, and the
// object its notifications go to. Handles are small numbers on the platforms the
// layer runs on, so the records sit in a table indexed by handle (a server holds
// one per connection, sixteen bytes each: the registration is a bit beside it);
// any other handle is kept in a map.
// The route is weak: one outliving its object leads nowhere, and a destroyed
// object need not search the table for routes to itself.

#include <cstddef>
#include <functional>
#include <memory>
#include <unordered_map>
#include <vector>

#include "net/Platform.h"

namespace toruna::net {

class CNetSocket;

class SocketTable {
 public:
  struct Entry {
    std::weak_ptr<CNetSocket> route;  // never set, or dropped: no route
  };

  // Whether a route was set (its object may have gone since) and not dropped.
  static bool HasRoute(const Entry& entry);

  // The record of s, or nullptr when s is neither registered nor routed.
  Entry* Find(SocketHandle s);
  const Entry* Find(SocketHandle s) const;
  // The record of s, made when there is none.
  Entry& Get(SocketHandle s);
  bool Registered(SocketHandle s) const;
  // Marks s registered, making its record when there is none.
  void SetRegistered(SocketHandle s);
  void Erase(SocketHandle s);
  // Drops the route of s, and the record when s is not registered either.
  void DropRoute(SocketHandle s);
  // DropRoute for every record.
  void DropAllRoutes();

 private:
  static constexpr SocketHandle kDenseLimit = 1 << 20;
  static bool Dense(SocketHandle s) { return s >= 0 && s < kDenseLimit; }

  struct SparseEntry {
    Entry entry;
    bool registered = false;
  };

  std::vector<Entry> dense_;
  std::vector<bool> denseRegistered_;  // beside dense_, the same length
  std::unordered_map<SocketHandle, SparseEntry> sparse_;
};

}  // namespace toruna::net
