// Termination signals read as loop input instead of ending the process.

#include "loop/SignalWatch.h"

#include <pthread.h>
#include <signal.h>

#include <vector>

#include <gtest/gtest.h>

#include "LoopPump.h"
#include "loop/EventLoop.h"

namespace toruna::loop {
namespace {

// Blocks the two signals for the test and restores the thread's mask after it,
// so that a signal this test raises can never end the test program.
class SignalWatchTest : public ::testing::Test {
 protected:
  void SetUp() override {
    pthread_sigmask(SIG_BLOCK, nullptr, &saved_);
    SignalWatch::Block();
  }
  void TearDown() override { pthread_sigmask(SIG_SETMASK, &saved_, nullptr); }

 private:
  sigset_t saved_;
};

TEST_F(SignalWatchTest, TakeReturnsThePendingSignalOnceAndZeroWhenNoneIsLeft) {
  SignalWatch watch;
  ASSERT_GE(watch.Fd(), 0);
  EXPECT_EQ(watch.Take(), 0);
  ASSERT_EQ(raise(SIGTERM), 0);
  EXPECT_EQ(watch.Take(), SIGTERM);
  EXPECT_EQ(watch.Take(), 0);
}

TEST_F(SignalWatchTest, LoopDeliversEachSignalAndStopsWatchingWhenTheWatchGoes) {
  EventLoop loop;
  std::vector<int> seen;
  {
    SignalWatch watch(loop, [&](int signo) { seen.push_back(signo); });
    ASSERT_GE(watch.Fd(), 0);
    ASSERT_EQ(raise(SIGINT), 0);
    EXPECT_TRUE(testing::PumpUntil(loop, [&] { return !seen.empty(); }));
    EXPECT_EQ(seen, std::vector<int>{SIGINT});
  }
  // A signal after the watch is gone reaches no callback (it stays pending
  // under the mask; take it so that it cannot outlive the test).
  ASSERT_EQ(raise(SIGINT), 0);
  loop.ProcessReady(20);
  EXPECT_EQ(seen.size(), 1u);
  SignalWatch drain;
  EXPECT_EQ(drain.Take(), SIGINT);
}

}  // namespace
}  // namespace toruna::loop
