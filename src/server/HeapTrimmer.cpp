#include "server/HeapTrimmer.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>

#ifdef __GLIBC__
#include <malloc.h>
#endif

namespace toruna::server {

namespace {

constexpr size_t kTrimStep = size_t{256} << 10;

// Resident bytes of this process; 0 when unreadable.
size_t ResidentBytes() {
  const int fd = open("/proc/self/statm", O_RDONLY | O_CLOEXEC);
  if (fd < 0) return 0;
  char text[128];
  const ssize_t n = read(fd, text, sizeof text - 1);
  close(fd);
  if (n <= 0) return 0;
  text[n] = '\0';
  unsigned long size = 0, resident = 0;
  if (std::sscanf(text, "%lu %lu", &size, &resident) != 2) return 0;
  return resident * static_cast<size_t>(sysconf(_SC_PAGESIZE));
}

#ifdef __GLIBC__
// Resident bytes that hold no live heap data (code, libraries and free pages).
size_t IdleBytes() {
  const size_t resident = ResidentBytes();
  const struct mallinfo2 info = mallinfo2();
  const size_t live = info.uordblks + info.hblkhd;
  return resident > live ? resident - live : 0;
}
#endif

}  // namespace

void HeapTrimmer::Tick() {
#ifdef __GLIBC__
  const size_t idle = IdleBytes();
  if (idle >= idleAfterTrim_ + kTrimStep) {
    malloc_trim(0);
    idleAfterTrim_ = IdleBytes();
  } else if (idle < idleAfterTrim_) {
    idleAfterTrim_ = idle;  // pages taken into use again: growth counts from here
  }
#endif
}

}  // namespace toruna::server
