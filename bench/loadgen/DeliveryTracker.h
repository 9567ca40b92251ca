#pragma once
// Checks every delivery of a fan-out against the rolling sequence number in its
// value byte and knows which messages have reached every subscriber. Each
// subscriber receives in order, so a message is complete only after all earlier
// ones are; the window of messages in flight is published minus completed.

#include <cstddef>
#include <cstdint>
#include <vector>

namespace loadgen {

class DeliveryTracker {
 public:
  // Values are one byte, so a gap can be told from a step back only while fewer
  // than 128 messages are in flight.
  static constexpr size_t kMaxWindow = 127;

  explicit DeliveryTracker(size_t subscribers);

  // The next message's value byte; call before handing the message out.
  uint8_t Publish();
  // A delivery to the subscriber whose expected sequence number is *next.
  // Advances *next; counts a gap as loss (its messages are written off so the
  // window keeps moving) and a value from behind or not yet published as
  // disorder.
  void Deliver(uint64_t* next, uint8_t value);
  // Moves past every message that has reached all subscribers; returns how many.
  size_t Collect();

  uint64_t Published() const { return published_; }
  uint64_t Completed() const { return completed_; }
  uint64_t InFlight() const { return published_ - completed_; }
  uint64_t Loss() const { return loss_; }
  uint64_t Disorder() const { return disorder_; }

 private:
  static constexpr size_t kRing = 256;
  void Count(uint64_t seq);

  size_t subscribers_;
  uint64_t published_ = 0;
  uint64_t completed_ = 0;
  uint64_t loss_ = 0;
  uint64_t disorder_ = 0;
  std::vector<uint32_t> arrived_;  // per message in flight, by seq % kRing
};

}  // namespace loadgen
