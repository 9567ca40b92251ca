#include "protocol/FrameAssembler.h"

#include <memory>
#include <unordered_map>

#include "protocol/Frame.h"

namespace toruna::protocol {

namespace {

// The bytes each assembler was given while it held a frame (see hasLate_).
thread_local std::unordered_map<const FrameAssembler*, std::unique_ptr<base::ByteQueue>> lateBytes;

}  // namespace

FrameAssembler::~FrameAssembler() {
  if (hasLate_) lateBytes.erase(this);
}

size_t FrameAssembler::LateSize() const {
  const auto found = lateBytes.find(this);
  return found != lateBytes.end() ? found->second->size() : 0;
}

FrameAssembler::Arrival FrameAssembler::CheckArrival(int32_t bytesTotal) const {
  if (bytesTotal > kMaxArrival || capacity_ > kMaxCapacity) return Arrival::Close;
  if (bytesTotal <= 0) return Arrival::Ignore;
  return Arrival::Take;
}

void FrameAssembler::Reset() {
  buffer_.Clear();
  buffer_.ReleaseIdleMemory();
  if (hasLate_) lateBytes.erase(this);
  hasLate_ = false;
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
  std::unique_ptr<base::ByteQueue>& late = lateBytes[this];
  if (late == nullptr) late = std::make_unique<base::ByteQueue>();
  late->Append(bytes.data(), bytes.size());
  hasLate_ = true;
}

void FrameAssembler::DoneWithFrame() {
  const size_t size = inHand_;
  inHand_ = 0;
  buffer_.Consume(size);
  if (hasLate_) {
    hasLate_ = false;
    const auto found = lateBytes.find(this);
    if (found != lateBytes.end()) {
      const std::unique_ptr<base::ByteQueue> late = std::move(found->second);
      lateBytes.erase(found);
      buffer_.Append(late->data(), late->size());
    }
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
