#include "base/BlockPool.h"

#include <sys/mman.h>

#include <cstdint>

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

// A slab-sized region aligned to its size, so that a block finds its slab by masking.
void* MapAlignedSlab() {
  const size_t span = 2 * BlockPool::kSlabSize;
  void* raw = mmap(nullptr, span, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (raw == MAP_FAILED) return nullptr;
  const uintptr_t start = reinterpret_cast<uintptr_t>(raw);
  const uintptr_t aligned = (start + BlockPool::kSlabSize - 1) & ~uintptr_t{BlockPool::kSlabSize - 1};
  if (aligned > start) munmap(raw, aligned - start);
  const uintptr_t end = start + span;
  const uintptr_t slabEnd = aligned + BlockPool::kSlabSize;
  if (end > slabEnd) munmap(reinterpret_cast<void*>(slabEnd), end - slabEnd);
  return reinterpret_cast<void*>(aligned);
}

}  // namespace

BlockPool& BlockPool::ForSize(size_t size) {
  // Trivially destructible: the pools outlive every object, statics included.
  thread_local BlockPool pools[kClasses];
  const size_t index = ClassOf(size);
  BlockPool& pool = pools[index];
  if (pool.blockSize_ == 0) pool.blockSize_ = static_cast<uint32_t>(SizeOfClass(index));
  return pool;
}

size_t BlockPool::BlockSizeFor(size_t size) { return SizeOfClass(ClassOf(size)); }

BlockPool::Slab* BlockPool::NewSlab() {
  Slab* slab = spare_;
  if (slab != nullptr) {
    spare_ = nullptr;
  } else {
    void* region = MapAlignedSlab();
    if (region == nullptr) throw std::bad_alloc();
    slab = static_cast<Slab*>(region);
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
  if (spare_ == nullptr) {
    spare_ = slab;
    // Its pages go back; the mapping stays for the next slab this pool needs.
    madvise(slab, kSlabSize, MADV_DONTNEED);
    return;
  }
  munmap(slab, kSlabSize);
}

}  // namespace toruna::base
