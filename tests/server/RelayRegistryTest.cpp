// The log and the identifier counter of the server window.

#include <gtest/gtest.h>

#include "RelayHarness.h"

namespace toruna::server::testing {
namespace {

class RelayRegistryTest : public RelayHarness {};

TEST_F(RelayRegistryTest, LogKeepsTheLast100LinesAndReportsEachNewOne) {
  std::vector<std::string> reported;
  frontEnd.onLog = [&](const std::string& line) { reported.push_back(line); };
  for (int i = 1; i <= 101; ++i) server.AddLog(Numbered("line ", i));
  ASSERT_EQ(server.List1().size(), 100u);
  EXPECT_EQ(server.List1().front(), "line 2");
  EXPECT_EQ(server.List1().back(), "line 101");
  ASSERT_EQ(reported.size(), 101u);
  EXPECT_EQ(reported.front(), "line 1");
  EXPECT_EQ(reported.back(), "line 101");
}

TEST_F(RelayRegistryTest, SessionsAndEventsDrawFromOneCounter) {
  RelayTestClient& ann = Joined("Ann");
  EXPECT_EQ(LastSession()->ID(), 1);
  EXPECT_EQ(CreateEvent(ann, "Temp"), 2);
  EXPECT_EQ(server.NewID(), 3);
  Connect();
  EXPECT_EQ(LastSession()->ID(), 4);
  EXPECT_EQ(CreateEvent(ann, "Hum"), 5);
}

}  // namespace
}  // namespace toruna::server::testing
