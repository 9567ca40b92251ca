#include "session/FrameAssembler.h"

#include "session/Frame.h"

namespace toruna::session {

FrameAssembler::Arrival FrameAssembler::CheckArrival(int32_t bytesTotal) const {
  if (bytesTotal > kMaxArrival || capacity_ > kMaxCapacity) return Arrival::Close;
  if (bytesTotal <= 0) return Arrival::Ignore;
  return Arrival::Take;
}

void FrameAssembler::Reset() {
  buffer_.clear();
  head_ = 0;
  capacity_ = 1;
}

void FrameAssembler::Append(std::span<const uint8_t> bytes) {
  if (head_ > 0) {
    buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(head_));
    head_ = 0;
  }
  int64_t needed = static_cast<int64_t>(buffer_.size()) + static_cast<int64_t>(bytes.size());
  while (capacity_ < needed) capacity_ += kCapacityStep;
  buffer_.insert(buffer_.end(), bytes.begin(), bytes.end());
}

FrameAssembler::Step FrameAssembler::Next(std::span<const uint8_t>& frame) const {
  size_t held = buffer_.size() - head_;
  if (held < kHeaderSize) return Step::NeedMore;
  const uint8_t* front = buffer_.data() + head_;
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
  head_ += frame.size();
  if (head_ == buffer_.size()) {
    buffer_.clear();
    head_ = 0;
  }
}

}  // namespace toruna::session
