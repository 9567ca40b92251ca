#include "base/BlockPool.h"

#include <sys/mman.h>

#include <algorithm>
#include <cstdint>
#include <vector>

namespace toruna::base {

// The head of a slab, at its aligned start; its blocks follow. Blocks never handed
// out yet are carved from `fresh` on demand, so a new slab touches only the pages
// it uses.
struct BlockPool::Slab {
  BlockPool* pool;
  Slab* prev;
  Slab* next;
  void* freeList;    // blocks given back, linked through their first word
  uint32_t used;     // blocks handed out
  uint32_t fresh;    // offset of the first block never handed out
  bool listed;       // in the pool's partial list
};

namespace {
constexpr size_t kFirstBlock =
    (sizeof(BlockPool::Slab) + BlockPool::kGranule - 1) / BlockPool::kGranule * BlockPool::kGranule;
}  // namespace

namespace {

// Fine classes to kFineLimit, then 1024, 2048, 4096.
constexpr size_t kFineClasses = BlockPool::kFineLimit / BlockPool::kGranule;
constexpr size_t kClasses = kFineClasses + 3;

size_t ClassOf(size_t size) {
  if (size <= BlockPool::kFineLimit) return size == 0 ? 0 : (size - 1) / BlockPool::kGranule;
  size_t index = kFineClasses;
  for (size_t limit = 2 * BlockPool::kFineLimit; limit < size; limit *= 2) ++index;
  return index;
}

size_t SizeOfClass(size_t index) {
  if (index < kFineClasses) return (index + 1) * BlockPool::kGranule;
  return BlockPool::kFineLimit << (index - kFineClasses + 1);
}

// Slabs are carved from chunks of this many, mapped at once.
constexpr size_t kChunkSlabs = 16;

// What each thread holds: its pools and the rest of the chunk being carved.
// Trivially destructible: the pools outlive every object, statics included.
struct ThreadPools {
  BlockPool pools[kClasses];
  uintptr_t chunkNext = 0;  // the next slab to carve; chunkEnd when none is left
  uintptr_t chunkEnd = 0;
  bool keepEmpty = false;
};
thread_local ThreadPools threadPools;

// A new slab-aligned region of kChunkSlabs slabs, so that a block finds its slab
// by masking. The misaligned ends of the oversized mapping were never touched,
// so unmapping them frees no page.
bool MapChunk(ThreadPools& t) {
  const size_t chunk = kChunkSlabs * BlockPool::kSlabSize;
  const size_t span = chunk + BlockPool::kSlabSize;
  void* raw = mmap(nullptr, span, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (raw == MAP_FAILED) return false;
  const uintptr_t start = reinterpret_cast<uintptr_t>(raw);
  const uintptr_t aligned = (start + BlockPool::kSlabSize - 1) & ~uintptr_t{BlockPool::kSlabSize - 1};
  if (aligned > start) munmap(raw, aligned - start);
  const uintptr_t end = start + span;
  const uintptr_t chunkEnd = aligned + chunk;
  if (end > chunkEnd) munmap(reinterpret_cast<void*>(chunkEnd), end - chunkEnd);
  t.chunkNext = aligned;
  t.chunkEnd = chunkEnd;
  return true;
}

}  // namespace

BlockPool& BlockPool::ForSize(size_t size) {
  const size_t index = ClassOf(size);
  BlockPool& pool = threadPools.pools[index];
  if (pool.blockSize_ == 0) pool.blockSize_ = static_cast<uint32_t>(SizeOfClass(index));
  return pool;
}

size_t BlockPool::BlockSizeFor(size_t size) { return SizeOfClass(ClassOf(size)); }

BlockPool::Slab* BlockPool::NewSlab() {
  Slab* slab = empty_;
  if (slab != nullptr) {
    empty_ = slab->next;
  } else {
    ThreadPools& t = threadPools;
    if (t.chunkNext == t.chunkEnd && !MapChunk(t)) throw std::bad_alloc();
    slab = reinterpret_cast<Slab*>(t.chunkNext);
    t.chunkNext += kSlabSize;
  }
  slab->pool = this;
  slab->prev = slab->next = nullptr;
  slab->freeList = nullptr;
  slab->used = 0;
  slab->fresh = static_cast<uint32_t>(kFirstBlock);
  slab->listed = false;
  return slab;
}

void BlockPool::PushPartial(Slab* slab) {
  slab->prev = nullptr;
  slab->next = partial_;
  if (partial_ != nullptr) partial_->prev = slab;
  partial_ = slab;
  slab->listed = true;
}

void BlockPool::Unlink(Slab* slab) {
  if (slab->prev != nullptr) slab->prev->next = slab->next;
  if (slab->next != nullptr) slab->next->prev = slab->prev;
  if (partial_ == slab) partial_ = slab->next;
  slab->prev = slab->next = nullptr;
  slab->listed = false;
}

void* BlockPool::Allocate() {
  if (partial_ == nullptr) PushPartial(NewSlab());
  Slab* slab = partial_;
  void* block = slab->freeList;
  if (block != nullptr) {
    slab->freeList = *static_cast<void**>(block);
  } else {
    block = reinterpret_cast<char*>(slab) + slab->fresh;
    slab->fresh += blockSize_;
  }
  ++slab->used;
  // Full: out of the list until a block comes back.
  if (slab->freeList == nullptr && slab->fresh + blockSize_ > kSlabSize) Unlink(slab);
  return block;
}

void BlockPool::Free(void* block) {
  if (block == nullptr) return;
  auto* slab = reinterpret_cast<Slab*>(reinterpret_cast<uintptr_t>(block) & ~uintptr_t{kSlabSize - 1});
  BlockPool* pool = slab->pool;
  *static_cast<void**>(block) = slab->freeList;
  slab->freeList = block;
  --slab->used;
  if (slab->used == 0) {
    pool->Release(slab);
  } else if (!slab->listed) {
    pool->PushPartial(slab);
  }
}

void BlockPool::Release(Slab* slab) {
  if (slab->listed) Unlink(slab);
  if (threadPools.keepEmpty || empty_ == nullptr) {
    // Kept for reuse; a lone spare's pages go back at once, the mapping stays.
    if (!threadPools.keepEmpty) madvise(slab, kSlabSize, MADV_DONTNEED);
    slab->next = empty_;
    empty_ = slab;
    return;
  }
  munmap(slab, kSlabSize);
}

void BlockPool::KeepEmptySlabs(bool keep) { threadPools.keepEmpty = keep; }

size_t BlockPool::ReleaseEmptySlabs() {
  std::vector<uintptr_t> slabs;
  for (BlockPool& pool : threadPools.pools) {
    for (Slab* slab = pool.empty_; slab != nullptr; slab = slab->next)
      slabs.push_back(reinterpret_cast<uintptr_t>(slab));
    pool.empty_ = nullptr;
  }
  // Slabs carved one after another from a chunk lie side by side: one call
  // unmaps each run of them.
  std::sort(slabs.begin(), slabs.end());
  for (size_t i = 0; i < slabs.size();) {
    size_t j = i + 1;
    while (j < slabs.size() && slabs[j] == slabs[j - 1] + kSlabSize) ++j;
    munmap(reinterpret_cast<void*>(slabs[i]), (j - i) * kSlabSize);
    i = j;
  }
  return slabs.size();
}

}  // namespace toruna::base
