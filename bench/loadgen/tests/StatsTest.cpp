#include "Stats.h"

#include <gtest/gtest.h>

using loadgen::Median;
using loadgen::Percentile;

TEST(StatsTest, MedianOfOddEvenAndNoValues) {
  EXPECT_DOUBLE_EQ(Median({5, 1, 3}), 3);
  EXPECT_DOUBLE_EQ(Median({4, 1, 3, 2}), 2.5);
  EXPECT_DOUBLE_EQ(Median({}), 0);
}

TEST(StatsTest, PercentileByNearestRank) {
  std::vector<double> v;
  for (int i = 100; i >= 1; --i) v.push_back(i);  // unsorted on purpose
  EXPECT_DOUBLE_EQ(Percentile(v, 0.50), 50);
  EXPECT_DOUBLE_EQ(Percentile(v, 0.99), 99);
  EXPECT_DOUBLE_EQ(Percentile(v, 1.0), 100);
  EXPECT_DOUBLE_EQ(Percentile(v, 0.0), 1);
  EXPECT_DOUBLE_EQ(Percentile({7}, 0.99), 7);
  EXPECT_DOUBLE_EQ(Percentile({}, 0.5), 0);
}
