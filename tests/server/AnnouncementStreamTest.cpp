#include "server/AnnouncementStream.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace toruna::server {
namespace {

using Runs = std::vector<std::string>;

std::span<const uint8_t> Bytes(const std::string& text) {
  return {reinterpret_cast<const uint8_t*>(text.data()), text.size()};
}

Runs For(const AnnouncementStream& stream, int32_t id, uint64_t registeredAt) {
  Runs runs;
  stream.ForClient(id, registeredAt, [&runs](std::span<const uint8_t> run) {
    runs.emplace_back(reinterpret_cast<const char*>(run.data()), run.size());
  });
  return runs;
}

TEST(AnnouncementStreamTest, AClientGetsWhatCameAfterItsRegistrationExceptNewsOfItselfInOrder) {
  AnnouncementStream stream;
  stream.Add(Bytes("A"), 1, 5);  // client 5 registered
  stream.Add(Bytes("B"), 2, 6);  // client 6 registered
  stream.Add(Bytes("C"), 3, 5);  // an event of client 5
  stream.Add(Bytes("D"), 4, 9);
  ASSERT_TRUE(stream.BeginRound({5, 6, 7}));
  EXPECT_EQ(For(stream, 5, 1), Runs({"B", "D"}));   // its own news skipped
  EXPECT_EQ(For(stream, 6, 2), Runs({"CD"}));
  EXPECT_EQ(For(stream, 7, 0), Runs({"ABCD"}));     // registered before all of it
  EXPECT_EQ(For(stream, 8, 4), Runs());             // registered after all of it
  EXPECT_EQ(For(stream, 9, 0), Runs({"ABC"}));
  EXPECT_EQ(For(stream, 6, 0), Runs({"A", "CD"}));  // a gap where its own news was
}

TEST(AnnouncementStreamTest, ARoundVisitsItsClientsLastFirstAndWhatComesMeanwhileWaitsForTheNext) {
  AnnouncementStream stream;
  EXPECT_FALSE(stream.BeginRound({1, 2}));
  EXPECT_TRUE(stream.Idle());
  stream.Add(Bytes("A"), 1, 0);
  ASSERT_TRUE(stream.BeginRound({1, 2, 3}));
  int32_t id = 0;
  size_t position = 0;
  ASSERT_TRUE(stream.NextClient(id, position));
  EXPECT_EQ(id, 3);
  EXPECT_EQ(position, 2u);
  stream.Add(Bytes("B"), 2, 0);
  EXPECT_TRUE(stream.BeginRound({7}));  // a round under way goes on
  ASSERT_TRUE(stream.NextClient(id, position));
  EXPECT_EQ(id, 2);
  EXPECT_EQ(For(stream, 2, 0), Runs({"A"}));
  ASSERT_TRUE(stream.NextClient(id, position));
  EXPECT_EQ(id, 1);
  EXPECT_FALSE(stream.NextClient(id, position));
  EXPECT_FALSE(stream.Idle());
  ASSERT_TRUE(stream.BeginRound({4}));
  ASSERT_TRUE(stream.NextClient(id, position));
  EXPECT_EQ(id, 4);
  EXPECT_EQ(For(stream, 4, 0), Runs({"B"}));
  EXPECT_FALSE(stream.NextClient(id, position));
  EXPECT_TRUE(stream.Idle());
}

}  // namespace
}  // namespace toruna::server
