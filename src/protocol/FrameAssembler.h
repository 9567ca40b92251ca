#pragma once
// Rebuilds message frames from the byte stream of one connection. It does no
// I/O: the owner asks whether to take an arrival, appends the bytes and then
// drains the complete frames from the front in order. This class owns its buffer.
//
// The limits follow the logical capacity of the receive buffer, which starts at 1
// and grows by 256 while too small, never shrinking: an arrival above 2048 bytes,
// or any arrival once the capacity is above 3072, closes the connection.
//
// Frames are handed out where they lie, not copied. While one is in hand, bytes
// appended (its handling may run the loop) wait aside, so the buffer under it
// never moves; they join the buffer once it is removed. The counts and the
// capacity treat the frame in hand as removed already.

#include <cstdint>
#include <span>

#include "base/ByteQueue.h"
#include "protocol/Frame.h"

namespace toruna::protocol {

class FrameAssembler {
 public:
  static constexpr int32_t kMaxArrival = 2048;
  static constexpr int32_t kMaxCapacity = 3072;
  static constexpr int32_t kCapacityStep = 256;

  FrameAssembler() = default;
  ~FrameAssembler();
  FrameAssembler(const FrameAssembler&) = delete;
  FrameAssembler& operator=(const FrameAssembler&) = delete;

  enum class Arrival { Ignore, Close, Take };
  // Close: more than 2048 bytes, or the capacity is already above 3072.
  // Ignore: nothing to take (0 or fewer bytes). Take: read the bytes and Append them.
  Arrival CheckArrival(int32_t bytesTotal) const;

  // Capacity 1 and no bytes, as when a connection is accepted (not from inside
  // the handling of a frame).
  void Reset();
  void Append(std::span<const uint8_t> bytes);

  enum class Step { NeedMore, Frame, Empty, LostSync, NegativeLength };
  // Looks at the front of the buffer. Frame: `frame` views the complete frame
  // (length + 3 bytes); Empty: a frame with length 0 (`frame` views its 3 bytes);
  // both must be removed with Consume() after handling. LostSync: the first byte
  // is not the marker. NegativeLength: the length field is negative. NeedMore:
  // fewer than 3 bytes, or the frame is not complete yet.
  // The view stays valid until the next Append, Consume or Reset.
  Step Next(std::span<const uint8_t>& frame) const;
  // Removes the complete frame at the front; does nothing when there is none.
  void Consume();
  // Removes the frame of size bytes that Next has just given.
  void Consume(size_t size) {
    buffer_.Consume(size);
    if (buffer_.empty()) buffer_.ReleaseIfLarge();
  }
  enum class Drained { NeedMore, LostSync, NegativeLength };
  // The one frame loop: hands every complete frame at the front to
  // onFrame(const FrameView&) in order, removing it once handled, and skips
  // frames of length 0, until more bytes are needed or the stream has lost its
  // framing. The view stays valid through onFrame, whatever it appends; a Drain
  // called from inside onFrame leaves the new bytes to the one running and
  // returns NeedMore.
  template <class OnFrame>
  Drained Drain(OnFrame&& onFrame);

  // While onFrame holds a frame: the bytes after it, as they lie (complete frames
  // or not). A handler that deals with the frames that follow at once takes them
  // with TakeFollowing, and they are removed with the frame in hand instead of
  // being handed out. The view is valid as long as the frame in hand.
  std::span<const uint8_t> Following() const {
    return inHand_ == 0 ? std::span<const uint8_t>()
                        : std::span<const uint8_t>(buffer_.data() + inHand_, buffer_.size() - inHand_);
  }
  void TakeFollowing(size_t size) {
    if (inHand_ == 0 || size > buffer_.size() - inHand_) return;
    inHand_ = static_cast<uint16_t>(inHand_ + size);
  }
  // Gives the buffer back while it is empty (the owner calls it now and then: a
  // busy connection keeps it from one arrival to the next).
  void ReleaseIdleMemory() { buffer_.ReleaseIdleMemory(); }

  int32_t RecvCount() const {
    return static_cast<int32_t>(buffer_.size() - inHand_ + (hasLate_ ? LateSize() : 0));
  }
  int32_t RecvCapacity() const { return capacity_; }

 private:
  // Removes the frame in hand and moves the bytes that waited aside behind the rest.
  void DoneWithFrame();

  size_t LateSize() const;

  base::ByteQueue buffer_;
  int32_t capacity_ = 1;
  // Size of the frame onFrame holds, still at the front of buffer_; 0 when none.
  uint16_t inHand_ = 0;
  bool draining_ = false;
  // Bytes were appended while a frame was in hand. They wait in a table beside
  // (rare: only a handler that runs the loop), so that a session stays small.
  bool hasLate_ = false;
};

template <class OnFrame>
FrameAssembler::Drained FrameAssembler::Drain(OnFrame&& onFrame) {
  if (draining_) return Drained::NeedMore;
  draining_ = true;
  struct Done {
    bool& flag;
    ~Done() { flag = false; }
  } done{draining_};
  for (;;) {
    std::span<const uint8_t> view;
    switch (Next(view)) {
      case Step::NeedMore:
        return Drained::NeedMore;
      case Step::LostSync:
        return Drained::LostSync;
      case Step::NegativeLength:
        return Drained::NegativeLength;
      case Step::Empty:
        Consume(view.size());
        break;
      case Step::Frame: {
        inHand_ = static_cast<uint16_t>(view.size());
        // Removed also when onFrame throws, so the stream stays in step.
        struct Handled {
          FrameAssembler& self;
          ~Handled() { self.DoneWithFrame(); }
        } handled{*this};
        onFrame(FrameView(view));
        break;
      }
    }
  }
}

}  // namespace toruna::protocol
