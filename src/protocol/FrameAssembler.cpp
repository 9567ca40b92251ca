#include "protocol/FrameAssembler.h"

#include "protocol/Frame.h"

namespace toruna::protocol {

FrameAssembler::Arrival FrameAssembler::CheckArrival(int32_t bytesTotal) const {
  if (bytesTotal > kMaxArrival || capacity_ > kMaxCapacity) return Arrival::Close;
  if (bytesTotal <= 0) return Arrival::Ignore;
  return Arrival::Take;
}

void FrameAssembler::Reset() {
  buffer_.Clear();
  buffer_.ReleaseIdleMemory();
  late_.reset();
  inHand_ = 0;
  capacity_ = 1;
}

void FrameAssembler::Append(std::span<const uint8_t> bytes) {
  int64_t needed = static_cast<int64_t>(RecvCount()) + static_cast<int64_t>(bytes.size());
  while (capacity_ < needed) capacity_ += kCapacityStep;
  if (inHand_ == 0) {
    buffer_.Append(bytes.data(), bytes.size());
    return;
  }
  if (late_ == nullptr) late_ = std::make_unique<base::ByteQueue>();
  late_->Append(bytes.data(), bytes.size());
}

void FrameAssembler::DoneWithFrame() {
  const size_t size = inHand_;
  inHand_ = 0;
  buffer_.Consume(size);
  if (late_ != nullptr) {
    const std::unique_ptr<base::ByteQueue> late = std::move(late_);
    buffer_.Append(late->data(), late->size());
  }
  if (buffer_.empty()) buffer_.ReleaseIfLarge();
}

FrameAssembler::Step FrameAssembler::Next(std::span<const uint8_t>& frame) const {
  size_t held = buffer_.size();
  if (held < kHeaderSize) return Step::NeedMore;
  const uint8_t* front = buffer_.data();
  if (front[0] != kFrameMarker) return Step::LostSync;
  int16_t length = GetInt16(front + 1);
  if (length < 0) return Step::NegativeLength;
  size_t size = kHeaderSize + static_cast<size_t>(length);
  if (held < size) return Step::NeedMore;
  frame = std::span<const uint8_t>(front, size);
  return length == 0 ? Step::Empty : Step::Frame;
}

void FrameAssembler::Consume() {
  std::span<const uint8_t> frame;
  Step step = Next(frame);
  if (step != Step::Frame && step != Step::Empty) return;
  Consume(frame.size());
}

}  // namespace toruna::protocol
