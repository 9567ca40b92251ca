#pragma once
// The hand-overs that coalesced sends put off (CNetSocket::SetCoalesceSends): the
// socket objects whose bytes go to the platform once the current batch of
// notifications is over, and those whose bytes may wait a little longer
// (CNetSocket::kSendLaterDelay). Each list is walked by one piece of work on the
// scheduler, so one deferral serves every object of a batch and one timer every
// object that asks while it runs. Objects are listed once each (their own flags
// say so) and held weakly: one released meanwhile is skipped.
// This class owns its lists, not the objects or the scheduler.

#include <cstddef>
#include <memory>
#include <vector>

namespace toruna::net {

class CNetSocket;
class Scheduler;

class FlushScheduler {
 public:
  // scheduler nullptr: nothing can be put off.
  explicit FlushScheduler(Scheduler* scheduler);
  FlushScheduler(const FlushScheduler&) = delete;
  FlushScheduler& operator=(const FlushScheduler&) = delete;

  // Lists object for its DeferredFlush at the end of the batch. False when the
  // scheduler cannot defer work: the object then hands over at once.
  bool AtEndOfBatch(CNetSocket& object);
  // Lists object for its LateFlush after kSendLaterDelay. False when the
  // scheduler has no timer.
  bool Later(CNetSocket& object);

  // A list's storage of up to this many entries is kept from one run to the next.
  static constexpr size_t kKeptEntries = 1024;

 private:
  struct List {
    std::vector<std::weak_ptr<CNetSocket>> objects;
    bool scheduled = false;
  };

  void Run(List& list, void (CNetSocket::*flush)());

  Scheduler* scheduler_;
  List endOfBatch_;
  List later_;
  // The scheduled work checks this to notice that the dispatcher has gone.
  std::shared_ptr<char> alive_ = std::make_shared<char>(0);
};

}  // namespace toruna::net
