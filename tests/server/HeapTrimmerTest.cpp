// The heap trim on its own: pages freed in the middle of the heap go back to the
// system once enough has been freed since the last trim, and not before. Checked
// on the pages themselves (mincore), so it needs glibc's allocator: the sanitizer
// builds bring their own.

#include "server/HeapTrimmer.h"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include <gtest/gtest.h>

namespace toruna::server {
namespace {

#if !defined(__GLIBC__) || defined(__SANITIZE_ADDRESS__)
#define TORUNA_GLIBC_HEAP 0
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define TORUNA_GLIBC_HEAP 0
#endif
#endif
#ifndef TORUNA_GLIBC_HEAP
#define TORUNA_GLIBC_HEAP 1
#endif

constexpr size_t kChunk = 8192;  // above the per-thread cache's sizes, below mmap's

// Resident pages lying wholly inside the freed chunks (their allocator headers
// and links are at the edges, which a trim keeps).
size_t ResidentInside(const std::vector<uintptr_t>& chunks) {
  const uintptr_t page = static_cast<uintptr_t>(sysconf(_SC_PAGESIZE));
  size_t resident = 0;
  for (uintptr_t start : chunks) {
    const uintptr_t first = (start + 64 + page - 1) / page * page;
    const uintptr_t last = (start + kChunk - 64) / page * page;
    for (uintptr_t p = first; p < last; p += page) {
      unsigned char in = 0;
      if (mincore(reinterpret_cast<void*>(p), page, &in) == 0 && (in & 1)) ++resident;
    }
  }
  return resident;
}

// Allocates and touches count chunks and frees them but the one highest in
// memory, which stays live so that the freed ones are not the heap's top (free
// gives the top back by itself). Returns the freed chunks' addresses.
std::vector<uintptr_t> FreeInTheMiddle(size_t count, std::vector<void*>& guards) {
  std::vector<void*> blocks;
  for (size_t i = 0; i <= count; ++i) {
    void* block = std::malloc(kChunk);
    std::memset(block, 0x5A, kChunk);
    blocks.push_back(block);
  }
  auto highest = std::max_element(blocks.begin(), blocks.end(), [](void* a, void* b) {
    return reinterpret_cast<uintptr_t>(a) < reinterpret_cast<uintptr_t>(b);
  });
  guards.push_back(*highest);
  blocks.erase(highest);
  std::vector<uintptr_t> addresses;
  for (void* block : blocks) {
    addresses.push_back(reinterpret_cast<uintptr_t>(block));
    std::free(block);
  }
  return addresses;
}

TEST(HeapTrimmerTest, GivesBackFreedPagesOnlyOnceAStepHasBeenFreed) {
  if (!TORUNA_GLIBC_HEAP) GTEST_SKIP() << "not glibc's allocator";
  HeapTrimmer trimmer;
  std::vector<void*> guards;
  // A trim to count from, whatever earlier tests left; the holes it leaves are
  // taken again, so that what follows cannot reuse them.
  const size_t holes = FreeInTheMiddle(16, guards).size();
  trimmer.Tick();
  for (size_t i = 0; i < holes; ++i) guards.push_back(std::memset(std::malloc(kChunk), 0x5A, kChunk));

  // 32 KiB freed: below the step, the pages stay.
  const std::vector<uintptr_t> few = FreeInTheMiddle(4, guards);
  const size_t fewBefore = ResidentInside(few);
  ASSERT_GT(fewBefore, 0u);
  trimmer.Tick();
  EXPECT_EQ(ResidentInside(few), fewBefore);

  // 160 KiB more: the next tick gives back all of them, the earlier ones too.
  const std::vector<uintptr_t> many = FreeInTheMiddle(20, guards);
  ASSERT_GT(ResidentInside(many), 10u);
  trimmer.Tick();
  EXPECT_EQ(ResidentInside(many), 0u);
  EXPECT_EQ(ResidentInside(few), 0u);

  for (void* guard : guards) std::free(guard);
}

}  // namespace
}  // namespace toruna::server
