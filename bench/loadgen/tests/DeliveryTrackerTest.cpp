#include "DeliveryTracker.h"

#include <gtest/gtest.h>

using loadgen::DeliveryTracker;

TEST(DeliveryTrackerTest, MessageCompletesOnlyWhenEverySubscriberHasIt) {
  DeliveryTracker t(3);
  uint64_t next[3] = {0, 0, 0};
  EXPECT_EQ(t.Publish(), 0);
  EXPECT_EQ(t.Publish(), 1);
  EXPECT_EQ(t.InFlight(), 2u);
  t.Deliver(&next[0], 0);
  t.Deliver(&next[1], 0);
  t.Deliver(&next[0], 1);
  EXPECT_EQ(t.Collect(), 0u);
  t.Deliver(&next[2], 0);
  EXPECT_EQ(t.Collect(), 1u);  // message 0 done; message 1 still missing at two
  t.Deliver(&next[1], 1);
  t.Deliver(&next[2], 1);
  EXPECT_EQ(t.Collect(), 1u);
  EXPECT_EQ(t.InFlight(), 0u);
  EXPECT_EQ(t.Loss(), 0u);
  EXPECT_EQ(t.Disorder(), 0u);
}

TEST(DeliveryTrackerTest, ValuesWrapAroundTheByteOverManyWindows) {
  DeliveryTracker t(2);
  uint64_t next[2] = {0, 0};
  for (int round = 0; round < 20; ++round) {
    uint8_t values[64];
    for (auto& v : values) v = t.Publish();
    for (uint8_t v : values) t.Deliver(&next[0], v);
    for (uint8_t v : values) t.Deliver(&next[1], v);
    ASSERT_EQ(t.Collect(), 64u) << "round " << round;
  }
  EXPECT_EQ(t.Completed(), 1280u);
  EXPECT_EQ(next[0], 1280u);
  EXPECT_EQ(t.Loss() + t.Disorder(), 0u);
}

TEST(DeliveryTrackerTest, GapIsCountedAsLossAndDoesNotHoldTheWindow) {
  DeliveryTracker t(1);
  uint64_t next = 0;
  for (int i = 0; i < 5; ++i) t.Publish();
  t.Deliver(&next, 0);
  t.Deliver(&next, 3);  // 1 and 2 never came
  EXPECT_EQ(t.Loss(), 2u);
  EXPECT_EQ(next, 4u);
  t.Deliver(&next, 4);
  EXPECT_EQ(t.Collect(), 5u);
  EXPECT_EQ(t.Disorder(), 0u);
}

TEST(DeliveryTrackerTest, StepBackRepeatAndUnpublishedValuesAreDisorder) {
  DeliveryTracker t(1);
  uint64_t next = 0;
  for (int i = 0; i < 3; ++i) t.Publish();
  t.Deliver(&next, 0);
  t.Deliver(&next, 1);
  t.Deliver(&next, 1);    // repeat
  t.Deliver(&next, 0);    // from behind
  t.Deliver(&next, 9);    // ahead of anything published
  EXPECT_EQ(t.Disorder(), 3u);
  EXPECT_EQ(t.Loss(), 0u);
  EXPECT_EQ(next, 2u);
  t.Deliver(&next, 2);
  t.Deliver(&next, 3);    // one more than was published
  EXPECT_EQ(t.Disorder(), 4u);
  EXPECT_EQ(t.Collect(), 3u);
}
