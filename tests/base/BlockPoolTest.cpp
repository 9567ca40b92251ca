// The pools of fixed-size blocks: blocks never overlap and are reused, a slab
// whose blocks have all come back is unmapped (but one kept) or, while the
// thread keeps them, kept until it releases them all, and objects made through
// the allocator live and end as with operator new.

#include "base/BlockPool.h"

#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <set>
#include <vector>

namespace toruna::base {
namespace {

bool Mapped(void* address) {
  unsigned char resident = 0;
  void* page = reinterpret_cast<void*>(reinterpret_cast<uintptr_t>(address) &
                                       ~static_cast<uintptr_t>(sysconf(_SC_PAGESIZE) - 1));
  return mincore(page, 1, &resident) == 0 || errno != ENOMEM;
}

TEST(BlockPoolTest, BlocksDoNotOverlapAreReusedAndEmptySlabsGoBack) {
  // A size of its own, so that no other user of the pools shares these slabs.
  BlockPool& pool = BlockPool::ForSize(3000);
  ASSERT_EQ(pool.BlockSize(), 4096u);
  const size_t perSlab = BlockPool::kSlabSize / pool.BlockSize();
  std::vector<void*> blocks;
  for (size_t i = 0; i < 3 * perSlab; ++i) {
    void* block = pool.Allocate();
    std::memset(block, static_cast<int>(i & 0xFF), pool.BlockSize());
    blocks.push_back(block);
  }
  std::set<uintptr_t> slabs;
  for (size_t i = 0; i < blocks.size(); ++i) {
    const auto* bytes = static_cast<const unsigned char*>(blocks[i]);
    ASSERT_EQ(bytes[0], i & 0xFF);
    ASSERT_EQ(bytes[pool.BlockSize() - 1], i & 0xFF) << "block " << i << " was written over";
    slabs.insert(reinterpret_cast<uintptr_t>(blocks[i]) & ~uintptr_t{BlockPool::kSlabSize - 1});
  }
  EXPECT_GE(slabs.size(), 3u);

  // A freed block is the next one handed out.
  BlockPool::Free(blocks[5]);
  EXPECT_EQ(pool.Allocate(), blocks[5]);

  for (void* block : blocks) BlockPool::Free(block);
  size_t stillMapped = 0;
  for (uintptr_t slab : slabs) stillMapped += Mapped(reinterpret_cast<void*>(slab)) ? 1 : 0;
  EXPECT_EQ(stillMapped, 1u) << "all but one emptied slab go back to the system";
  // The kept one serves the next block.
  void* again = pool.Allocate();
  EXPECT_TRUE(slabs.count(reinterpret_cast<uintptr_t>(again) & ~uintptr_t{BlockPool::kSlabSize - 1}));
  BlockPool::Free(again);
}

TEST(BlockPoolTest, KeptEmptySlabsServeTheNextFillAndGoBackTogether) {
  BlockPool& pool = BlockPool::ForSize(2000);
  ASSERT_EQ(pool.BlockSize(), 2048u);
  BlockPool::KeepEmptySlabs(true);
  const size_t perSlab = BlockPool::kSlabSize / pool.BlockSize();
  auto fill = [&] {
    std::vector<void*> blocks;
    std::set<uintptr_t> slabs;
    for (size_t i = 0; i < 4 * perSlab; ++i) {
      blocks.push_back(pool.Allocate());
      std::memset(blocks.back(), 0x5A, pool.BlockSize());
      slabs.insert(reinterpret_cast<uintptr_t>(blocks.back()) & ~uintptr_t{BlockPool::kSlabSize - 1});
    }
    for (void* block : blocks) BlockPool::Free(block);
    return slabs;
  };
  const std::set<uintptr_t> first = fill();
  for (uintptr_t slab : first) EXPECT_TRUE(Mapped(reinterpret_cast<void*>(slab))) << "kept until released";
  // A second burst of the same size lands in the same slabs: nothing mapped anew.
  EXPECT_EQ(fill(), first);

  EXPECT_GE(BlockPool::ReleaseEmptySlabs(), first.size());
  for (uintptr_t slab : first) EXPECT_FALSE(Mapped(reinterpret_cast<void*>(slab)));
  EXPECT_EQ(BlockPool::ReleaseEmptySlabs(), 0u);
  // Slabs in use stay, whatever else is released.
  void* held = pool.Allocate();
  std::memset(held, 1, pool.BlockSize());
  EXPECT_EQ(BlockPool::ReleaseEmptySlabs(), 0u);
  EXPECT_EQ(static_cast<unsigned char*>(held)[pool.BlockSize() - 1], 1);
  BlockPool::Free(held);
  EXPECT_EQ(BlockPool::ReleaseEmptySlabs(), 1u);
  BlockPool::KeepEmptySlabs(false);
}

TEST(BlockPoolTest, SizesGoUpByGranulesThenDouble) {
  EXPECT_EQ(BlockPool::BlockSizeFor(1), 16u);
  EXPECT_EQ(BlockPool::BlockSizeFor(200), 208u);
  EXPECT_EQ(BlockPool::BlockSizeFor(512), 512u);
  EXPECT_EQ(BlockPool::BlockSizeFor(513), 1024u);
  EXPECT_EQ(BlockPool::BlockSizeFor(2049), 4096u);
  EXPECT_EQ(&BlockPool::ForSize(200), &BlockPool::ForSize(193));
}

TEST(BlockPoolTest, SharedObjectsFromTheAllocatorLiveAndEnd) {
  struct Probe {
    explicit Probe(int& count) : count_(count) { ++count_; }
    ~Probe() { --count_; }
    int& count_;
    char payload[100] = {};
  };
  int alive = 0;
  {
    std::vector<std::shared_ptr<Probe>> probes;
    for (int i = 0; i < 2000; ++i)
      probes.push_back(std::allocate_shared<Probe>(PoolAllocator<Probe>(), alive));
    EXPECT_EQ(alive, 2000);
    std::weak_ptr<Probe> watch = probes.front();
    probes.erase(probes.begin());
    EXPECT_TRUE(watch.expired());
    EXPECT_EQ(alive, 1999);
  }
  EXPECT_EQ(alive, 0);
}

}  // namespace
}  // namespace toruna::base
