#include "session/KeyedCollection.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <vector>

namespace toruna::session {
namespace {

std::vector<int32_t> IdsOf(const KeyedCollection<std::string>& c) {
  std::vector<int32_t> ids;
  for (int32_t p = 1; p <= c.Count(); ++p) ids.push_back(c.IdAt(p));
  return ids;
}

TEST(KeyedCollectionTest, KeepsInsertionOrderAndRefusesDuplicateKeys) {
  KeyedCollection<std::string> c;
  EXPECT_TRUE(c.Add(12, "a"));
  EXPECT_TRUE(c.Add(5, "b"));
  EXPECT_TRUE(c.Add(9, "c"));
  EXPECT_FALSE(c.Add(5, "other"));
  EXPECT_EQ(c.Count(), 3);
  EXPECT_EQ(IdsOf(c), (std::vector<int32_t>{12, 5, 9}));
  EXPECT_EQ(c.Item(2), "b");  // the duplicate left the first item alone
  ASSERT_NE(c.Find(9), nullptr);
  EXPECT_EQ(*c.Find(9), "c");
  EXPECT_EQ(c.Find(7), nullptr);
  EXPECT_EQ(c.PositionOf(9), 3);
  EXPECT_EQ(c.PositionOf(7), 0);
}

TEST(KeyedCollectionTest, RemovalMovesLaterItemsDownAndKeepsLookupsRight) {
  KeyedCollection<std::string> c;
  for (int32_t id : {1, 2, 3, 4, 5}) c.Add(id, std::to_string(id));
  EXPECT_TRUE(c.Remove(2));
  EXPECT_FALSE(c.Remove(2));
  EXPECT_TRUE(c.RemoveAt(1));
  EXPECT_FALSE(c.RemoveAt(0));
  EXPECT_FALSE(c.RemoveAt(4));
  EXPECT_EQ(IdsOf(c), (std::vector<int32_t>{3, 4, 5}));
  for (int32_t id : {3, 4, 5}) {
    ASSERT_NE(c.Find(id), nullptr);
    EXPECT_EQ(*c.Find(id), std::to_string(id));
    EXPECT_EQ(c.Item(c.PositionOf(id)), std::to_string(id));
  }
  // A removed key may be added again; it goes to the end.
  EXPECT_TRUE(c.Add(1, "again"));
  EXPECT_EQ(IdsOf(c), (std::vector<int32_t>{3, 4, 5, 1}));

  // Several at once: unknown and repeated IDs count once or not at all.
  for (int32_t id : {6, 7, 8}) c.Add(id, std::to_string(id));
  EXPECT_EQ(c.RemoveIds(std::vector<int32_t>{4, 99, 7, 4, 1}), 3u);
  EXPECT_EQ(IdsOf(c), (std::vector<int32_t>{3, 5, 6, 8}));
  for (int32_t id : {3, 5, 6, 8}) EXPECT_EQ(c.Item(c.PositionOf(id)), std::to_string(id));
  EXPECT_EQ(c.RemoveIds(std::vector<int32_t>{}), 0u);
}

TEST(KeyedCollectionTest, PositionOutsideTheItemsRaisesSubscriptOutOfRange) {
  KeyedCollection<std::string> c;
  c.Add(1, "x");
  for (int32_t bad : {0, 2, -1}) {
    try {
      (void)c.Item(bad);
      FAIL() << "no error for position " << bad;
    } catch (const base::RaisedError& e) {
      EXPECT_EQ(e.Number(), 9);
      EXPECT_EQ(e.Description(), "Subscript out of range");
    }
  }
}

TEST(KeyedCollectionTest, ItemIsOutOfTheCollectionWhenItsDestructorRuns) {
  // An item whose end looks at the collection must find itself gone already.
  struct Probe {
    KeyedCollection<std::shared_ptr<Probe>>* owner;
    int32_t id;
    int32_t* countSeen;
    ~Probe() { *countSeen = owner->Contains(id) ? -1 : owner->Count(); }
  };
  KeyedCollection<std::shared_ptr<Probe>> c;
  int32_t seen = -2;
  c.Add(1, std::make_shared<Probe>(Probe{&c, 1, &seen}));
  c.Add(2, std::make_shared<Probe>(Probe{&c, 2, &seen}));
  c.Add(3, std::make_shared<Probe>(Probe{&c, 3, &seen}));
  seen = -2;
  c.Remove(1);
  EXPECT_EQ(seen, 2);
  c.RemoveIds(std::vector<int32_t>{3, 2});  // both are out before either ends
  EXPECT_EQ(seen, 0);
}

// Lookups by ID stay right whatever order the IDs came in and whatever was removed:
// the collection against a plain list, over many random steps.
TEST(KeyedCollectionTest, LookupsAgreeWithAPlainListThroughRandomChanges) {
  std::mt19937 random(7);
  KeyedCollection<std::string> c;
  std::vector<std::pair<int32_t, std::string>> model;
  int32_t next = 1;
  for (int step = 0; step < 4000; ++step) {
    const int what = static_cast<int>(random() % 10);
    if (what < 5) {
      // Mostly ascending IDs, now and then one from the past or a duplicate.
      const int32_t id = random() % 4 == 0 ? static_cast<int32_t>(random() % (next + 1)) : next++;
      const bool present = std::any_of(model.begin(), model.end(), [&](auto& e) { return e.first == id; });
      ASSERT_EQ(c.Add(id, std::to_string(id)), !present) << "step " << step;
      if (!present) model.emplace_back(id, std::to_string(id));
    } else if (what < 7 && !model.empty()) {
      const size_t at = random() % model.size();
      ASSERT_TRUE(c.Remove(model[at].first));
      model.erase(model.begin() + static_cast<std::ptrdiff_t>(at));
    } else if (what < 8 && !model.empty()) {
      const size_t at = random() % model.size();
      ASSERT_TRUE(c.RemoveAt(static_cast<int32_t>(at + 1)));
      model.erase(model.begin() + static_cast<std::ptrdiff_t>(at));
    } else if (what < 9) {
      std::vector<int32_t> ids;
      for (int k = 0; k < 3; ++k) ids.push_back(static_cast<int32_t>(random() % (next + 1)));
      size_t expected = 0;
      for (int32_t id : std::set<int32_t>(ids.begin(), ids.end())) {
        expected += static_cast<size_t>(std::erase_if(model, [&](auto& e) { return e.first == id; }));
      }
      ASSERT_EQ(c.RemoveIds(ids), expected);
    } else if (random() % 20 == 0) {
      c.Clear();
      model.clear();
    }
    ASSERT_EQ(c.Count(), static_cast<int32_t>(model.size()));
    for (size_t i = 0; i < model.size(); ++i) {
      ASSERT_EQ(c.IdAt(static_cast<int32_t>(i + 1)), model[i].first) << "step " << step;
      ASSERT_EQ(c.PositionOf(model[i].first), static_cast<int32_t>(i + 1)) << "step " << step;
      const std::string* found = c.FindNear(model[i].first, i + 1 + (i % 3));
      ASSERT_TRUE(found != nullptr && *found == model[i].second) << "step " << step;
    }
    const int32_t absent = next + 5;
    EXPECT_EQ(c.Find(absent), nullptr);
  }
}

TEST(KeyedCollectionTest, SnapshotKeepsTheIdsWhateverHappensToTheCollection) {
  for (int32_t n : {0, 3, 64, 65, 500}) {
    KeyedCollection<std::string> c;
    for (int32_t id = 1; id <= n; ++id) c.Add(id * 10, "");
    IdSnapshot ids(c);
    c.Clear();
    ASSERT_EQ(ids.size(), static_cast<size_t>(n));
    for (int32_t i = 0; i < n; ++i) EXPECT_EQ(ids[i], (i + 1) * 10) << "n=" << n;
  }
}

}  // namespace
}  // namespace toruna::session
