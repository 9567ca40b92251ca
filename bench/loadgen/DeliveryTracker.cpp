#include "DeliveryTracker.h"

namespace loadgen {

DeliveryTracker::DeliveryTracker(size_t subscribers)
    : subscribers_(subscribers), arrived_(kRing, 0) {}

uint8_t DeliveryTracker::Publish() { return static_cast<uint8_t>(published_++ & 0xff); }

void DeliveryTracker::Count(uint64_t seq) { ++arrived_[seq % kRing]; }

void DeliveryTracker::Deliver(uint64_t* next, uint8_t value) {
  uint64_t seq = *next;
  const uint8_t expected = static_cast<uint8_t>(seq & 0xff);
  if (value != expected) {
    const uint8_t gap = static_cast<uint8_t>(value - expected);
    if (gap >= 128 || seq + gap >= published_) {
      ++disorder_;  // from behind, a repeat, or never published
      return;
    }
    loss_ += gap;
    for (uint64_t s = seq; s < seq + gap; ++s) Count(s);
    seq += gap;
  }
  if (seq >= published_) {
    ++disorder_;  // more deliveries than messages
    return;
  }
  Count(seq);
  *next = seq + 1;
}

size_t DeliveryTracker::Collect() {
  size_t n = 0;
  while (completed_ < published_ && arrived_[completed_ % kRing] >= subscribers_) {
    arrived_[completed_ % kRing] = 0;
    ++completed_;
    ++n;
  }
  return n;
}

}  // namespace loadgen
