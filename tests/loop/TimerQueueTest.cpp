// The timer queue on its own, with a clock the test moves: order, periods, and
// callbacks that cancel and add timers while the queue runs them.

#include "loop/TimerQueue.h"

#include <chrono>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace toruna::loop {
namespace {

using namespace std::chrono_literals;
using Clock = TimerQueue::Clock;

const Clock::time_point t0 = Clock::time_point(1h);
constexpr Clock::duration kOnce = Clock::duration::zero();

TEST(TimerQueueTest, RunsWhatIsDueByDeadlineThenByOrderOfAdding) {
  TimerQueue q;
  std::vector<std::string> ran;
  EXPECT_EQ(q.NextDeadline(), Clock::time_point::max());
  q.Add(t0 + 30ms, kOnce, [&] { ran.push_back("c"); });
  q.Add(t0 + 10ms, kOnce, [&] { ran.push_back("a"); });
  q.Add(t0 + 10ms, kOnce, [&] { ran.push_back("b"); });
  EXPECT_EQ(q.NextDeadline(), t0 + 10ms);

  EXPECT_EQ(q.RunDue(t0 + 9ms), 0u);
  EXPECT_EQ(q.RunDue(t0 + 10ms), 2u);
  EXPECT_EQ(ran, (std::vector<std::string>{"a", "b"}));
  EXPECT_EQ(q.NextDeadline(), t0 + 30ms);
  EXPECT_EQ(q.RunDue(t0 + 1s), 1u);
  EXPECT_EQ(ran.back(), "c");
  EXPECT_TRUE(q.Empty());
  EXPECT_EQ(q.RunDue(t0 + 2s), 0u) << "a one-shot timer runs once";
}

TEST(TimerQueueTest, APeriodicTimerKeepsItsGridAndFoldsMissedPeriods) {
  TimerQueue q;
  int ticks = 0;
  q.Add(t0 + 10ms, 10ms, [&] { ++ticks; });
  q.RunDue(t0 + 12ms);
  EXPECT_EQ(ticks, 1);
  EXPECT_EQ(q.NextDeadline(), t0 + 20ms) << "late by 2 ms, the next one stays on the grid";
  // The loop was busy for three and a half periods: one call, and back on the grid.
  q.RunDue(t0 + 55ms);
  EXPECT_EQ(ticks, 2);
  EXPECT_EQ(q.NextDeadline(), t0 + 60ms);
  EXPECT_EQ(q.Size(), 1u);
}

TEST(TimerQueueTest, CallbacksMayCancelThemselvesAndOthersAmongTheDue) {
  TimerQueue q;
  std::vector<std::string> ran;
  TimerQueue::Id periodic = 0, later = 0;
  periodic = q.Add(t0 + 10ms, 10ms, [&] {
    ran.push_back("periodic");
    q.Cancel(periodic);  // from inside its own call: not rescheduled, nor destroyed while running
    q.Cancel(later);     // due in this same run: it must not run
    ran.push_back("still here");
  });
  later = q.Add(t0 + 10ms, kOnce, [&] { ran.push_back("later"); });
  EXPECT_EQ(q.RunDue(t0 + 10ms), 1u);
  EXPECT_EQ(ran, (std::vector<std::string>{"periodic", "still here"}));
  EXPECT_TRUE(q.Empty());
  q.Cancel(periodic);  // spent ids are harmless
  q.Cancel(0);
  q.Cancel(12345);
}

// A callback may run a loop of its own (a modal dialog), which runs the queue
// again: what is due then runs there, once, and a periodic timer whose callback is
// still running further up is not entered a second time.
TEST(TimerQueueTest, ANestedRunServesTheOthersOnceAndSkipsTheRunningCallback) {
  TimerQueue q;
  std::vector<std::string> ran;
  q.Add(t0 + 10ms, 10ms, [&] {
    ran.push_back("periodic");
    if (ran.size() == 1) q.RunDue(t0 + 25ms);  // its own next period is due here too
  });
  q.Add(t0 + 10ms, kOnce, [&] { ran.push_back("once"); });
  q.RunDue(t0 + 10ms);
  EXPECT_EQ(ran, (std::vector<std::string>{"periodic", "once"}));
  q.RunDue(t0 + 30ms);
  EXPECT_EQ(ran, (std::vector<std::string>{"periodic", "once", "periodic"}));
}

TEST(TimerQueueTest, TimersAddedWhileRunningWaitForTheNextRunEvenWhenDue) {
  TimerQueue q;
  int rounds = 0;
  std::function<void()> again = [&] {
    ++rounds;
    q.Add(t0, kOnce, again);  // due at once, every time
  };
  q.Add(t0, kOnce, again);
  EXPECT_EQ(q.RunDue(t0 + 1ms), 1u);
  EXPECT_EQ(rounds, 1);
  EXPECT_EQ(q.RunDue(t0 + 1ms), 1u);
  EXPECT_EQ(rounds, 2);
  EXPECT_EQ(q.Size(), 1u);
}

}  // namespace
}  // namespace toruna::loop
