// The estimate of how many clients a descriptor limit leaves room for.

#include "app/DescriptorLimit.h"

#include <unistd.h>

#include <gtest/gtest.h>

namespace toruna::app {
namespace {

TEST(DescriptorLimitTest, CountsWhatIsOpenAndTheServersOwnAgainstTheLimit) {
  // The standard streams and the server's six leave 7 of 16.
  const std::optional<std::string> small = DescriptorLimit::Shortage(16, 3);
  ASSERT_TRUE(small.has_value());
  EXPECT_NE(small->find("only about 7 clients"), std::string::npos) << *small;
  EXPECT_NE(small->find("no more than 16 files"), std::string::npos) << *small;
  EXPECT_NE(small->find("to at least 10032"), std::string::npos) << *small;

  EXPECT_NE(DescriptorLimit::Shortage(4, 3)->find("only about 0 clients"), std::string::npos);
  EXPECT_NE(DescriptorLimit::Shortage(10008, 3)->find("only about 9999 clients"), std::string::npos);
  EXPECT_FALSE(DescriptorLimit::Shortage(10009, 3).has_value());
}

TEST(DescriptorLimitTest, InUseCountsOnlyDescriptorsNumberedBelowTheLimit) {
  int pipe1[2];
  ASSERT_EQ(pipe(pipe1), 0);
  const uint64_t high = static_cast<uint64_t>(pipe1[1]) + 1;
  const uint64_t withPipe = DescriptorLimit::InUse(high);
  close(pipe1[0]);
  close(pipe1[1]);
  EXPECT_EQ(DescriptorLimit::InUse(high), withPipe - 2);
  // Nothing is numbered below 0; the standard streams are below 3 if open at all.
  EXPECT_EQ(DescriptorLimit::InUse(0), 0u);
  EXPECT_LE(DescriptorLimit::InUse(3), 3u);
}

}  // namespace
}  // namespace toruna::app
