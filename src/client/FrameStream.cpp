#include "client/FrameStream.h"

namespace toruna::client {

FrameStream::FrameStream(Handler handler) : handler_(std::move(handler)) {
  assembler_.Reset();
}

void FrameStream::Append(std::span<const uint8_t> bytes) {
  if (!broken_) assembler_.Append(bytes);
}

bool FrameStream::Deliver() {
  if (broken_) return false;
  switch (assembler_.Drain([this](const protocol::FrameView& frame) { handler_(frame); })) {
    case protocol::FrameAssembler::Drained::NeedMore:
      return !broken_;
    case protocol::FrameAssembler::Drained::LostSync:
    case protocol::FrameAssembler::Drained::NegativeLength:
      broken_ = true;
      return false;
  }
  return false;
}

}  // namespace toruna::client
