// The reactor on its own: readiness, registrations replaced within a batch, timers,
// deferred work, running and stopping, and the descriptor an embedding loop watches.

#include "loop/EventLoop.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "LoopPump.h"

namespace toruna::loop {
namespace {

using namespace std::chrono_literals;

bool Readable(int fd, int waitMs = 0) {
  pollfd p{fd, POLLIN, 0};
  return poll(&p, 1, waitMs) == 1 && (p.revents & POLLIN);
}

int ReadyEventFd() {
  int fd = eventfd(1, EFD_NONBLOCK | EFD_CLOEXEC);
  EXPECT_GE(fd, 0);
  return fd;
}

using testing::PumpUntil;

TEST(EventLoopTest, ReportsReadinessAsAskedAndHangUpAlways) {
  EventLoop loop;
  int pair[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, pair), 0);
  std::vector<uint32_t> seen;
  loop.Watch(pair[0], EventLoop::kWritable, [&](uint32_t ready) { seen.push_back(ready); });
  loop.ProcessReady(0);
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0], EventLoop::kWritable);

  // No interest: not even a hang-up wakes the loop.
  loop.Modify(pair[0], 0);
  close(pair[1]);
  EXPECT_FALSE(Readable(loop.Fd()));
  loop.ProcessReady(0);
  EXPECT_EQ(seen.size(), 1u);

  loop.Modify(pair[0], EventLoop::kHangUp);
  EXPECT_TRUE(Readable(loop.Fd(), 1000));
  loop.ProcessReady(0);
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_TRUE(seen[1] & EventLoop::kHangUp);
  EXPECT_FALSE(seen[1] & EventLoop::kReadable) << "data was not asked for";

  loop.Modify(pair[0], EventLoop::kReadable);
  loop.ProcessReady(0);
  ASSERT_EQ(seen.size(), 3u);
  EXPECT_EQ(seen[2] & (EventLoop::kReadable | EventLoop::kHangUp),
            EventLoop::kReadable | EventLoop::kHangUp);

  loop.Unwatch(pair[0]);
  EXPECT_FALSE(Readable(loop.Fd()));
  close(pair[0]);
}

TEST(EventLoopTest, ANumberReplacedWithinABatchDoesNotGetTheOldReadiness) {
  EventLoop loop;
  int a = ReadyEventFd();
  int b = ReadyEventFd();
  int oldCalls = 0, newCalls = 0;
  bool replaced = false;
  // Whichever of the two runs first closes the other and registers a new, also
  // ready, descriptor under the same number.
  auto replaceOther = [&](int self, int other) {
    return [&, self, other](uint32_t) {
      uint64_t v;
      ASSERT_EQ(read(self, &v, sizeof v), static_cast<ssize_t>(sizeof v));
      if (replaced) {
        ++oldCalls;
        return;
      }
      replaced = true;
      loop.Unwatch(other);
      close(other);
      int again = ReadyEventFd();
      ASSERT_EQ(again, other);
      loop.Watch(again, EventLoop::kReadable, [&, again](uint32_t) {
        uint64_t w;
        ASSERT_EQ(read(again, &w, sizeof w), static_cast<ssize_t>(sizeof w));
        ++newCalls;
      });
    };
  };
  loop.Watch(a, EventLoop::kReadable, replaceOther(a, b));
  loop.Watch(b, EventLoop::kReadable, replaceOther(b, a));
  loop.ProcessReady(0);
  ASSERT_TRUE(replaced);
  EXPECT_EQ(oldCalls, 0);
  EXPECT_EQ(newCalls, 0) << "the replacement got the readiness collected for its predecessor";
  loop.ProcessReady(0);
  EXPECT_EQ(newCalls, 1) << "the replacement's own readiness comes in the next batch";
  close(a);
  close(b);
}

TEST(EventLoopTest, DeferredWorkRunsAfterTheWholeBatch) {
  EventLoop loop;
  int a = ReadyEventFd();
  int b = ReadyEventFd();
  std::vector<std::string> order;
  auto callback = [&](int fd, const char* name) {
    return [&, fd, name](uint32_t) {
      uint64_t v;
      ASSERT_EQ(read(fd, &v, sizeof v), static_cast<ssize_t>(sizeof v));
      order.push_back(name);
      loop.Defer([&, name] { order.push_back(std::string("deferred by ") + name); });
    };
  };
  loop.Watch(a, EventLoop::kReadable, callback(a, "a"));
  loop.Watch(b, EventLoop::kReadable, callback(b, "b"));
  loop.ProcessReady(0);
  ASSERT_EQ(order.size(), 4u);
  EXPECT_EQ(order[0].size(), 1u);
  EXPECT_EQ(order[1].size(), 1u);
  EXPECT_EQ(order[2], "deferred by " + order[0]);
  EXPECT_EQ(order[3], "deferred by " + order[1]);
  close(a);
  close(b);
}

TEST(EventLoopTest, DeferredWorkOutsideABatchWakesAnEmbeddingLoop) {
  EventLoop loop;
  EXPECT_FALSE(Readable(loop.Fd()));
  std::vector<int> ran;
  loop.Defer([&] {
    ran.push_back(1);
    loop.Defer([&] { ran.push_back(2); });  // runs in the same call
  });
  EXPECT_TRUE(Readable(loop.Fd()));
  loop.ProcessReady(0);
  EXPECT_EQ(ran, (std::vector<int>{1, 2}));
  EXPECT_FALSE(Readable(loop.Fd()));
}

// Work that defers itself again and again gets a bounded number of rounds per
// call; the rest waits, with Fd() readable, and descriptors are served between.
TEST(EventLoopTest, WorkThatAlwaysDefersAgainDoesNotHoldTheLoop) {
  EventLoop loop;
  int rounds = 0;
  bool keepGoing = true;
  std::function<void()> again = [&] {
    ++rounds;
    if (keepGoing) loop.Defer(again);
  };
  loop.Defer(again);
  loop.ProcessReady(0);
  EXPECT_GT(rounds, 1);
  EXPECT_LT(rounds, 1000);
  EXPECT_TRUE(Readable(loop.Fd()));
  int fd = ReadyEventFd();
  bool served = false;
  loop.Watch(fd, EventLoop::kReadable, [&](uint32_t) { served = true; });
  loop.ProcessReady(0);
  EXPECT_TRUE(served);
  keepGoing = false;
  loop.ProcessReady(0);
  loop.Unwatch(fd);
  close(fd);
  EXPECT_FALSE(Readable(loop.Fd()));
}

// Inside a batch, deferring does not touch the wake-up descriptor (ProcessReady
// runs the work before it returns), unless the callback is about to run a loop of
// its own that only watches Fd().
TEST(EventLoopTest, WorkDeferredInsideABatchWakesANestedLoopOnlyWhenAsked) {
  EventLoop loop;
  int fd = ReadyEventFd();
  std::vector<std::string> seen;
  loop.Watch(fd, EventLoop::kReadable, [&](uint32_t) {
    uint64_t v;
    ASSERT_EQ(read(fd, &v, sizeof v), static_cast<ssize_t>(sizeof v));
    loop.Defer([&] { seen.push_back("deferred"); });
    seen.push_back(Readable(loop.Fd()) ? "readable" : "quiet");
    loop.BeforeNestedLoop();
    seen.push_back(Readable(loop.Fd()) ? "readable" : "quiet");
    loop.ProcessReady(0);  // the nested loop does the work
    seen.push_back("nested done");
  });
  loop.ProcessReady(0);
  EXPECT_EQ(seen, (std::vector<std::string>{"quiet", "readable", "deferred", "nested done"}));
  EXPECT_FALSE(Readable(loop.Fd()));
  loop.Unwatch(fd);
  close(fd);
}

TEST(EventLoopTest, OneShotTimersRunOnceWhenDueInOrderAndWakeAnEmbeddingLoop) {
  EventLoop loop;
  std::vector<int> ran;
  const auto start = std::chrono::steady_clock::now();
  std::chrono::steady_clock::time_point firstAt;
  loop.RunAfter(30ms, [&] { ran.push_back(3); });
  loop.RunAfter(10ms, [&] {
    ran.push_back(1);
    firstAt = std::chrono::steady_clock::now();
  });
  loop.RunAfter(10ms, [&] { ran.push_back(2); });
  loop.ProcessReady(0);
  EXPECT_TRUE(ran.empty()) << "delayed work ran before its time";
  EXPECT_TRUE(Readable(loop.Fd(), 5000)) << "due work must make Fd() readable";
  ASSERT_TRUE(PumpUntil(loop, [&] { return ran.size() == 3; }));
  EXPECT_EQ(ran, (std::vector<int>{1, 2, 3}));
  EXPECT_GE(firstAt - start, 10ms);
  testing::PumpFor(loop, 50ms);
  EXPECT_EQ(ran.size(), 3u);
  EXPECT_FALSE(Readable(loop.Fd()));
}

TEST(EventLoopTest, TimerRepeatsUntilCancelledAndWakesAnEmbeddingLoop) {
  EventLoop loop;
  int ticks = 0;
  EventLoop::TimerId id = loop.AddTimer(10ms, [&] { ++ticks; });
  EXPECT_TRUE(Readable(loop.Fd(), 5000)) << "a due timer must make Fd() readable";
  loop.ProcessReady(0);
  EXPECT_EQ(ticks, 1);
  ASSERT_TRUE(PumpUntil(loop, [&] { return ticks >= 3; }));
  loop.CancelTimer(id);
  int atCancel = ticks;
  for (int i = 0; i < 5; ++i) loop.ProcessReady(20);
  EXPECT_EQ(ticks, atCancel);
  EXPECT_FALSE(Readable(loop.Fd(), 30));
}

TEST(EventLoopTest, TimerMayCancelItselfAndOthers) {
  EventLoop loop;
  int firstTicks = 0, secondTicks = 0;
  EventLoop::TimerId second = 0;
  EventLoop::TimerId first = 0;
  first = loop.AddTimer(5ms, [&] {
    ++firstTicks;
    loop.CancelTimer(first);
    loop.CancelTimer(second);
  });
  second = loop.AddTimer(5ms, [&] { ++secondTicks; });
  ASSERT_TRUE(PumpUntil(loop, [&] { return firstTicks + secondTicks > 0; }));
  for (int i = 0; i < 5; ++i) loop.ProcessReady(15);
  EXPECT_EQ(firstTicks, 1);
  EXPECT_LE(secondTicks, 1);
  EXPECT_FALSE(Readable(loop.Fd(), 20));
}

// A server keeps a timer per connection at times: timers share the loop's one
// descriptor, and a process short of descriptors can still make them.
TEST(EventLoopTest, TimersTakeNoDescriptorOfTheirOwn) {
  EventLoop loop;
  auto openDescriptors = [] {
    int count = 0;
    for (int fd = 0; fd < 4096; ++fd) count += fcntl(fd, F_GETFD) != -1;
    return count;
  };
  const int before = openDescriptors();
  std::vector<EventLoop::TimerId> ids;
  for (int i = 0; i < 100; ++i) {
    ids.push_back(i % 2 ? loop.AddTimer(1h, [] {}) : loop.RunAfter(1h, [] {}));
  }
  EXPECT_EQ(openDescriptors(), before);
  for (EventLoop::TimerId id : ids) loop.CancelTimer(id);
}

TEST(EventLoopTest, ANumberClosedBehindTheLoopsBackStillWorksWhenChanged) {
  EventLoop loop;
  int fd = ReadyEventFd();
  uint32_t lastReady = 0;
  loop.Watch(fd, EventLoop::kReadable, [&](uint32_t ready) { lastReady = ready; });
  close(fd);  // epoll drops it silently; the loop's record stays
  int again = ReadyEventFd();
  ASSERT_EQ(again, fd);
  EXPECT_NO_THROW(loop.Modify(again, EventLoop::kReadable | EventLoop::kWritable));
  loop.ProcessReady(0);
  EXPECT_EQ(lastReady, EventLoop::kReadable | EventLoop::kWritable);
  loop.Unwatch(again);
  close(again);
}

TEST(EventLoopTest, RunReturnsAfterStop) {
  EventLoop loop;
  int ticks = 0;
  loop.AddTimer(5ms, [&] {
    if (++ticks == 3) loop.Stop();
  });
  loop.Run();
  EXPECT_EQ(ticks, 3);
  EXPECT_TRUE(loop.Stopped());

  // A stop requested earlier holds: a later Run returns at once.
  loop.Run();
  EXPECT_EQ(ticks, 3);

  EventLoop fresh;
  fresh.Stop();
  fresh.Run();
  EXPECT_TRUE(fresh.Stopped());
}

}  // namespace
}  // namespace toruna::loop
