#pragma once
// How often a round of announcements may begin. A round writes once to every
// registered client, and a write costs some microseconds of system time however
// few bytes it carries; rounds begun back to back through a burst of joins
// would spend most of the server's time writing a few announcements at a time
// to thousands of clients. So rounds draw their writes from a budget that
// refills at kWritesPerSecond and holds at most kBurstWrites: a client or a few
// joining at a time are announced at once, while in a burst each round waits
// until its writes are paid for and carries all that came meanwhile.

#include <chrono>
#include <cstddef>

namespace toruna::server {

class RoundPacer {
 public:
  using Clock = std::chrono::steady_clock;
  static constexpr double kWritesPerSecond = 25000;
  static constexpr double kBurstWrites = 10000;

  // When the next round may begin: now, or once the budget is back to zero.
  Clock::time_point ReadyAt(Clock::time_point now) const;
  // A round that writes to `clients` begins at now.
  void Began(size_t clients, Clock::time_point now);

 private:
  double Budget(Clock::time_point now) const;

  double budget_ = kBurstWrites;  // at at_; below zero while a burst's rounds are paid off
  Clock::time_point at_{};
};

}  // namespace toruna::server
