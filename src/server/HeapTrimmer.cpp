#include "server/HeapTrimmer.h"

#ifdef __GLIBC__
#include <malloc.h>
#endif

namespace toruna::server {

namespace {

constexpr size_t kTrimStep = size_t{64} << 10;

}  // namespace

void HeapTrimmer::Tick() {
#ifdef __GLIBC__
  // The allocator's own count, not the process's resident size: the slabs, the
  // stacks and code pages touched for the first time are nothing a trim gives
  // back, and reading /proc would page in code for no client (formatted input).
  const size_t free = mallinfo2().fordblks;
  if (free >= freeAfterTrim_ + kTrimStep) {
    malloc_trim(0);
    freeAfterTrim_ = mallinfo2().fordblks;
  } else if (free < freeAfterTrim_) {
    freeAfterTrim_ = free;  // free pages taken into use again: growth counts from here
  }
#endif
}

}  // namespace toruna::server
