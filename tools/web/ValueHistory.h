#pragma once
// The values of one event as they arrived: the last one, how many came, and
// those of the last ten minutes (at most kMaxKept of them), for a page that
// starts to watch an event somebody else already watches.

#include <cstddef>
#include <cstdint>
#include <deque>

namespace toruna::web {

// Milliseconds since the epoch, as the page's clock counts them.
using Millis = int64_t;

struct Sample {
  Millis at = 0;
  uint8_t value = 0;
};

class ValueHistory {
 public:
  static constexpr Millis kKeep = 10 * 60 * 1000;
  // Ten minutes at 50 values a second.
  static constexpr size_t kMaxKept = 30000;

  void Add(Millis at, uint8_t value);
  // Forgets the kept values (the subscription ended: what comes later does
  // not continue them); the last value and the count stay.
  void Forget() { samples_.clear(); }
  // Drops what is older than kKeep before now.
  void Prune(Millis now);

  bool HasValue() const { return count_ != 0; }
  const Sample& Last() const { return last_; }
  uint64_t Count() const { return count_; }
  const std::deque<Sample>& Samples() const { return samples_; }

 private:
  std::deque<Sample> samples_;
  Sample last_;
  uint64_t count_ = 0;
};

}  // namespace toruna::web
