#pragma once
// Blocks of one size, carved from 64 KiB slabs mapped from the system, for the
// objects a server keeps one of per connection (the socket object, the session)
// and for the buffers of its queues. Kept apart from the general heap they pack
// densely, the short-lived buffers of a burst cannot pin half-used heap pages
// after it, and a slab whose blocks have all been freed goes back to the system.
//
// One pool per 16-byte size class and per thread: a block is freed on the thread
// that allocated it (the socket layer runs on one thread). Pools are never
// destroyed, so objects that end late (statics) can still free their blocks.
//
// Mapping and unmapping are system calls that cost far more than the blocks they
// serve (an unmap flushes the TLB), and a burst fills and empties hundreds of
// slabs of queue buffers. So slabs are carved from larger mapped chunks, and a
// thread that gives memory back on a schedule of its own (a server's housekeeping
// tick) keeps its emptied slabs until it calls ReleaseEmptySlabs, which unmaps
// them in as few calls as their addresses allow. Without that promise an emptied
// slab goes back at once (one spare per size kept).

#include <cstddef>
#include <cstdint>
#include <new>

namespace toruna::base {

class BlockPool {
 public:
  static constexpr size_t kSlabSize = 64 * 1024;
  static constexpr size_t kGranule = 16;
  // Sizes go up by kGranule to kFineLimit, then double to kLargestBlock.
  static constexpr size_t kFineLimit = 512;
  static constexpr size_t kLargestBlock = 4096;

  // The calling thread's pool for blocks of at least size bytes (1 to kLargestBlock).
  static BlockPool& ForSize(size_t size);
  // The size of the blocks ForSize(size) gives.
  static size_t BlockSizeFor(size_t size);

  // Throws std::bad_alloc when the system has no memory.
  void* Allocate();
  // Gives back a block this pool allocated.
  static void Free(void* block);

  size_t BlockSize() const { return blockSize_; }

  // Whether the calling thread keeps its emptied slabs until it calls
  // ReleaseEmptySlabs, which it must then do now and then (once a second).
  static void KeepEmptySlabs(bool keep);
  // Gives every slab of the calling thread's pools that has no block in use back
  // to the system; returns how many.
  static size_t ReleaseEmptySlabs();

  struct Slab;

 private:

  Slab* NewSlab();
  void Release(Slab* slab);
  void Unlink(Slab* slab);
  void PushPartial(Slab* slab);

  uint32_t blockSize_ = 0;
  Slab* partial_ = nullptr;  // slabs with a free block, most recently freed into first
  // Emptied slabs kept for reuse, linked through `next`: one spare (its pages
  // given back) or, while the thread keeps them, every one.
  Slab* empty_ = nullptr;
};

// A standard allocator whose single objects come from the BlockPool of their size
// (allocate_shared puts an object and its count in one such block); anything
// larger or plural comes from operator new.
// Sanitizer builds take every object from operator new instead, so that the
// address sanitizer sees each one's life.
#if defined(__SANITIZE_ADDRESS__)
#define TORUNA_POOLS_ENABLED 0
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define TORUNA_POOLS_ENABLED 0
#endif
#endif
#ifndef TORUNA_POOLS_ENABLED
#define TORUNA_POOLS_ENABLED 1
#endif

template <typename T>
class PoolAllocator {
 public:
  using value_type = T;
  static constexpr bool kPooled = TORUNA_POOLS_ENABLED && sizeof(T) <= BlockPool::kLargestBlock &&
                                  alignof(T) <= BlockPool::kGranule;

  PoolAllocator() noexcept = default;
  template <typename U>
  PoolAllocator(const PoolAllocator<U>&) noexcept {}  // NOLINT: rebinding is implicit

  T* allocate(size_t n) {
    if (kPooled && n == 1) return static_cast<T*>(BlockPool::ForSize(sizeof(T)).Allocate());
    return static_cast<T*>(::operator new(n * sizeof(T)));
  }
  void deallocate(T* p, size_t n) noexcept {
    if (kPooled && n == 1) {
      BlockPool::Free(p);
      return;
    }
    ::operator delete(p);
  }

  template <typename U>
  bool operator==(const PoolAllocator<U>&) const noexcept {
    return true;
  }
};

}  // namespace toruna::base
