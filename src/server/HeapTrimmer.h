#pragma once
// Gives free heap pages back to the system once a burst is over. glibc keeps the
// pages it freed in the middle of its heap, and a burst (registrations, departures,
// clients that read slowly) leaves many of them between the objects of the
// connections that stay; a service runs long. Once a tick, this compares the
// resident memory with what the heap holds live, and trims the heap when the
// difference has grown by a quarter of a megabyte since the last trim.

#include <cstddef>

namespace toruna::server {

class HeapTrimmer {
 public:
  void Tick();

 private:
  size_t idleAfterTrim_ = 0;  // resident bytes beyond the live heap after the last trim
};

}  // namespace toruna::server
