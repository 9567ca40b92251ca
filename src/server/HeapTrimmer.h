#pragma once
// Gives free heap pages back to the system once a burst is over. glibc keeps the
// pages it freed in the middle of its heap, and a burst (registrations, departures,
// clients that read slowly) leaves many of them between the objects of the
// connections that stay, among them the old copies of the registry's tables,
// which double as they grow; a service runs long. Once a tick, this trims the
// heap when the free bytes in it have grown by 64 KiB since the last trim.

#include <cstddef>

namespace toruna::server {

class HeapTrimmer {
 public:
  void Tick();

 private:
  size_t freeAfterTrim_ = 0;  // free heap bytes after the last trim
};

}  // namespace toruna::server
