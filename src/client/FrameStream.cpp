#include "client/FrameStream.h"

#include <vector>

namespace toruna::client {

FrameStream::FrameStream(Handler handler) : handler_(std::move(handler)) {
  assembler_.Reset();
}

bool FrameStream::Feed(std::span<const uint8_t> bytes) {
  if (broken_) return false;
  assembler_.Append(bytes);
  for (;;) {
    std::span<const uint8_t> frame;
    switch (assembler_.Next(frame)) {
      case protocol::FrameAssembler::Step::NeedMore:
        return true;
      case protocol::FrameAssembler::Step::Empty:
        assembler_.Consume();
        break;
      case protocol::FrameAssembler::Step::Frame: {
        // The handler works on a copy: whatever it sets off cannot move the
        // assembler's bytes under it.
        const std::vector<uint8_t> copy(frame.begin(), frame.end());
        assembler_.Consume();
        handler_(protocol::FrameView(copy));
        if (broken_) return false;
        break;
      }
      case protocol::FrameAssembler::Step::LostSync:
      case protocol::FrameAssembler::Step::NegativeLength:
        broken_ = true;
        return false;
    }
  }
}

}  // namespace toruna::client
