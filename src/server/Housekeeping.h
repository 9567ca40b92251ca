#pragma once
// Giving memory back. A server holds thousands of connections, most of them idle,
// and runs for months: after a burst (registrations, departures, clients that read
// slowly) its memory must come back down to what the connections that stay need.
// Five mechanisms do it, from the smallest scale up:
//  1. Slabs (base::BlockPool): the per-connection objects (socket objects,
//     sessions) and small queue buffers come from 64 KiB slabs of one block size;
//     a slab whose blocks are all free is kept for reuse until the next tick,
//     which gives all such slabs back to the system (here, after mechanisms 3
//     and 4 have emptied more): a burst refills the same slabs from one batch to
//     the next without mapping, unmapping or faulting pages in.
//  2. Queues that run dry (base::ByteQueue::ReleaseIfLarge): a send or receive
//     queue, or a session's frame buffer, that empties gives back at once a buffer
//     larger than a busy connection reuses from one batch to the next.
//  3. Idle connections, once a tick (here): every connection gives back the
//     buffers of its empty queues and frame buffer (ReleaseIdleMemory).
//  4. The roster, once a tick (here): dropped when no registration used it since
//     the last tick (RosterCache).
//  5. The heap, once a tick (here): trimmed when the free bytes in it have grown
//     by 64 KiB since the last trim (HeapTrimmer), since glibc keeps freed pages
//     between live objects (among them the old copies of tables that doubled).
// The release of departed sessions (frmMain's timer) and the socket object's
// rarely used fields kept out of line serve the same end.

#include <memory>

#include "server/HeapTrimmer.h"
#include "server/RosterCache.h"
#include "session/KeyedCollection.h"
#include "session/clsClient.h"

namespace toruna::server {

class Housekeeping {
 public:
  // Mechanisms 3, 4, 1 and 5, in that order: what the connections and the roster
  // hold idle goes first, so that the slabs and the trim find it free.
  void Tick(const session::KeyedCollection<std::shared_ptr<session::clsClient>>& connections,
            RosterCache& roster);

 private:
  HeapTrimmer trimmer_;
};

}  // namespace toruna::server
