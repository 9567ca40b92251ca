#pragma once
// One client connection of the load generator: its descriptor, the bytes it has
// received but not yet parsed, the bytes waiting to be written, and the progress
// the protocol and the scenario keep for it. Owned by the Poller.

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

namespace loadgen {

struct Connection {
  int fd = -1;
  uint32_t index = 0;       // position in the Poller's list
  bool connecting = true;   // the non-blocking connect has not completed yet
  bool writeArmed = false;  // EPOLLOUT is being watched
  bool registered = false;
  bool subscribed = false;
  bool owned = false;       // the server keeps something of its own (Protocol::Own)
  bool isPublisher = false;
  int phase = 0;            // the protocol's own progress counter
  uint64_t next = 0;        // next sequence number this subscriber expects

  std::vector<uint8_t> in;   // received, not yet parsed (a partial message)
  std::vector<uint8_t> out;  // waiting to be written, from outOff on
  size_t outOff = 0;

  void Append(const void* data, size_t n) {
    const auto* p = static_cast<const uint8_t*>(data);
    out.insert(out.end(), p, p + n);
  }
  void Append(std::string_view s) { Append(s.data(), s.size()); }
  size_t Pending() const { return out.size() - outOff; }
};

}  // namespace loadgen
