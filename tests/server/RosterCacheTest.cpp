// The roster kept for newcomers on its own: when it is built, what it holds, and
// when it is thrown away.

#include "server/RosterCache.h"

#include <cstdint>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "protocol/Frame.h"

namespace toruna::server {
namespace {

using Bytes = std::vector<uint8_t>;
namespace frames = protocol::frames;

Bytes Wire(const std::string& text) { return Bytes(text.begin(), text.end()); }

Bytes Join(const std::vector<Bytes>& parts) {
  Bytes all;
  for (const Bytes& p : parts) all.insert(all.end(), p.begin(), p.end());
  return all;
}

class RosterCacheTest : public ::testing::Test {
 protected:
  // The registry: Ann (1) with the event Temp (2), Bo (3) without events.
  const std::vector<uint8_t>& Get() {
    return cache.Get([this](RosterCache& c) {
      ++fills;
      c.AddClient(1, Wire("Ann"));
      c.AddEvent(1, 2, -3, 1000, Wire(std::string("Temp\0\xB0" "C", 7)));
      c.AddClient(3, Wire("Bo"));
    });
  }
  const Bytes ann = frames::ClientInfo(1, Wire("Ann"));
  const Bytes temp = frames::EventInfo(1, 2, -3, 1000, Wire(std::string("Temp\0\xB0" "C", 7)));
  const Bytes bo = frames::ClientInfo(3, Wire("Bo"));
  const Bytes cy = frames::ClientInfo(4, Wire("Cy"));

  RosterCache cache;
  int fills = 0;
};

TEST_F(RosterCacheTest, IsBuiltOnceAndGrowsWithEachNewcomerWhileNothingElseChanges) {
  EXPECT_FALSE(cache.Kept());
  cache.Registered(cy);  // nothing kept yet: nothing to add to
  EXPECT_EQ(Get(), Join({ann, temp, bo}));
  cache.Registered(cy);
  EXPECT_EQ(Get(), Join({ann, temp, bo, cy}));
  EXPECT_EQ(fills, 1);
}

TEST_F(RosterCacheTest, AnyOtherChangeOfTheRegistryHasItBuiltAnew) {
  Get();
  cache.Invalidate();
  EXPECT_FALSE(cache.Kept());
  cache.Registered(cy);  // not added to a roster that is no longer true
  EXPECT_EQ(Get(), Join({ann, temp, bo}));
  EXPECT_EQ(fills, 2);
}

TEST_F(RosterCacheTest, ItsMemoryGoesOnATickWithoutRegistrations) {
  Get();
  cache.ReleaseIfUnused();  // used since the last tick: kept
  EXPECT_TRUE(cache.Kept());
  EXPECT_GT(cache.Capacity(), 0u);
  cache.ReleaseIfUnused();
  EXPECT_FALSE(cache.Kept());
  EXPECT_EQ(cache.Capacity(), 0u);
  EXPECT_EQ(Get(), Join({ann, temp, bo}));
  EXPECT_EQ(fills, 2);
}

}  // namespace
}  // namespace toruna::server
