#pragma once
// News of other clients (a client came or went, an event was created or
// removed), worked off in bounded slices between serving ready sockets, so that
// a storm of joins or departures lengthens its own completion but never holds
// values back. Each announcement carries the registry clock at which it happened
// and the ID of the client it is not for; a client is sent the announcements
// later than its own registration (what came before is in its roster), in the
// order they happened, several in one write.
//
// Announcements made during a round wait for the next one; a round walks the
// clients registered when it began, in reverse order of registration.

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace toruna::server {

class AnnouncementStream {
 public:
  // B is copied; mark: the registry clock when it happened; except: the ID of the
  // client that is not told (its subject).
  void Add(std::span<const uint8_t> B, uint64_t mark, int32_t except);

  bool Idle() const { return round_.entries.empty() && next_.entries.empty(); }
  bool InRound() const { return !round_.entries.empty(); }
  // Begins a round with what has been added (when none is under way) and the
  // clients to visit; false when there is nothing to announce.
  bool BeginRound(std::vector<int32_t> clients);
  // The next client of the round to visit (reverse order), false at its end (the
  // round is then over).
  bool NextClient(int32_t& id, size_t& position);
  // Calls send(bytes) for each run of consecutive announcements of the round that
  // are for a client registered at registeredAt with that ID; the number of
  // announcements looked at.
  template <typename Send>
  size_t ForClient(int32_t id, uint64_t registeredAt, Send&& send) const;

  size_t Pending() const { return round_.entries.size() + next_.entries.size(); }

 private:
  struct Entry {
    uint64_t mark;
    int32_t except;
    uint32_t offset;
    uint32_t size;
  };
  struct Batch {
    std::vector<Entry> entries;
    std::vector<uint8_t> bytes;
  };
  Batch round_;
  Batch next_;
  std::vector<int32_t> clients_;
  size_t cursor_ = 0;
  size_t FirstAfter(uint64_t registeredAt) const;
};

template <typename Send>
size_t AnnouncementStream::ForClient(int32_t id, uint64_t registeredAt, Send&& send) const {
  const std::vector<Entry>& entries = round_.entries;
  size_t i = FirstAfter(registeredAt);
  const size_t looked = entries.size() - i;
  while (i < entries.size()) {
    if (entries[i].except == id) {
      ++i;
      continue;
    }
    // A run of announcements lies in one piece of the bytes: one write.
    const size_t begin = entries[i].offset;
    size_t end = begin;
    while (i < entries.size() && entries[i].except != id) {
      end = entries[i].offset + entries[i].size;
      ++i;
    }
    send(std::span<const uint8_t>(round_.bytes.data() + begin, end - begin));
  }
  return looked;
}

}  // namespace toruna::server
