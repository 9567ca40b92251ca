#pragma once
// Cuts the frames out of the bytes a server sends, however the bytes are split
// across reads, and hands each complete frame to a handler in order. Unlike the
// server's sessions, the client takes any amount of bytes per read: a server
// with many clients sends a long roster at once.

#include <cstdint>
#include <functional>
#include <span>

#include "protocol/Frame.h"
#include "protocol/FrameAssembler.h"

namespace toruna::client {

class FrameStream {
 public:
  using Handler = std::function<void(const protocol::FrameView&)>;

  explicit FrameStream(Handler handler);
  // False when the stream lost its framing (a byte other than the marker where
  // a frame must begin, or a negative length); nothing more is delivered then.
  bool Feed(std::span<const uint8_t> bytes) {
    Append(bytes);
    return Deliver();
  }
  // Feed in two steps, for an owner that must let go of the bytes' source
  // before the handler runs.
  void Append(std::span<const uint8_t> bytes);
  bool Deliver();
  bool Broken() const { return broken_; }

 private:
  Handler handler_;
  protocol::FrameAssembler assembler_;
  bool broken_ = false;
};

}  // namespace toruna::client
