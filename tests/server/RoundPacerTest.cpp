// How often rounds of announcements may begin: a few at a time go at once, a
// burst's rounds wait until their writes are paid for, and an idle spell
// refills the budget no further than its cap.

#include "server/RoundPacer.h"

#include <gtest/gtest.h>

namespace toruna::server {
namespace {

using std::chrono::milliseconds;

TEST(RoundPacerTest, BurstsWaitForTheirWritesAndIdleTimeRefillsUpToTheCap) {
  RoundPacer pacer;
  const RoundPacer::Clock::time_point t0 = RoundPacer::Clock::now();
  const auto perWrite = std::chrono::duration<double>(1.0 / RoundPacer::kWritesPerSecond);
  const auto cap = static_cast<size_t>(RoundPacer::kBurstWrites);

  // Within the budget: back to back.
  EXPECT_EQ(pacer.ReadyAt(t0), t0);
  pacer.Began(cap / 2, t0);
  EXPECT_EQ(pacer.ReadyAt(t0), t0);
  pacer.Began(cap, t0);  // the budget runs into debt by half the cap
  const auto due = pacer.ReadyAt(t0);
  EXPECT_NEAR(std::chrono::duration<double>(due - t0).count(), (cap / 2) * perWrite.count(), 1e-6);
  EXPECT_GT(pacer.ReadyAt(due - milliseconds(1)), due - milliseconds(1));
  const auto after = due + std::chrono::microseconds(1);
  EXPECT_EQ(pacer.ReadyAt(after), after);

  // A long pause refills only to the cap: two rounds of the cap's size, the
  // second of which waits for all its writes.
  const auto later = t0 + std::chrono::seconds(60);
  EXPECT_EQ(pacer.ReadyAt(later), later);
  pacer.Began(cap, later);
  EXPECT_EQ(pacer.ReadyAt(later), later);
  pacer.Began(cap, later);
  EXPECT_NEAR(std::chrono::duration<double>(pacer.ReadyAt(later) - later).count(), cap * perWrite.count(),
              1e-6);
}

}  // namespace
}  // namespace toruna::server
