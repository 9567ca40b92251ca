// Frame reassembly fed arbitrary arrivals, handled the way a session handles
// them: the arrival limits are asked first, then the bytes appended and the
// complete frames taken off the front until more are needed or sync is lost.
// Input: arrivals, each a 16-bit header (low 12 bits: the arrival's size, up to
// 4095; bit 14: also ask about a negative count; bit 15: call Consume while no
// frame is complete) followed by that many bytes.
// Checked against a flat reading of the same stream: the frames out are the
// frames in, byte for byte and in order; the bytes held and the capacity are
// what the 256-byte growth rule gives; an arrival above 2048 bytes or one after
// the capacity passed 3072 closes; lost sync is found where the stream loses it.

#include <algorithm>
#include <cstdint>
#include <span>
#include <vector>

#include "FuzzInput.h"
#include "ReferenceFrames.h"
#include "protocol/FrameAssembler.h"

using toruna::fuzz::ExactCopy;
using toruna::fuzz::FuzzInput;
using toruna::fuzz::ReferenceFrames;
using toruna::protocol::FrameAssembler;

namespace {

constexpr int32_t kLargestFrame = 2817 + 2048;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzInput in(data, size);
  FrameAssembler assembler;
  assembler.Reset();
  ReferenceFrames reference;
  int32_t capacity = 1;

  while (!in.Empty()) {
    const uint16_t header = in.U16();
    if (header & 0x8000) {
      // With no complete frame at the front, Consume must leave everything as it is.
      std::span<const uint8_t> view;
      const FrameAssembler::Step step = assembler.Next(view);
      if (step == FrameAssembler::Step::NeedMore) {
        const int32_t held = assembler.RecvCount();
        assembler.Consume();
        FUZZ_CHECK(assembler.RecvCount() == held, "Consume without a frame removed bytes");
      }
    }
    const std::vector<uint8_t> arrival = ExactCopy(in.Take(header & 0x0FFF));
    const auto count = static_cast<int32_t>(arrival.size());

    if (header & 0x4000) {
      const auto expected = capacity > FrameAssembler::kMaxCapacity
                                ? FrameAssembler::Arrival::Close
                                : FrameAssembler::Arrival::Ignore;
      FUZZ_CHECK(assembler.CheckArrival(-count - 1) == expected, "negative count");
    }
    FrameAssembler::Arrival expected = FrameAssembler::Arrival::Take;
    if (count > FrameAssembler::kMaxArrival || capacity > FrameAssembler::kMaxCapacity) {
      expected = FrameAssembler::Arrival::Close;
    } else if (count == 0) {
      expected = FrameAssembler::Arrival::Ignore;
    }
    FUZZ_CHECK(assembler.CheckArrival(count) == expected, "arrival limits");
    if (expected == FrameAssembler::Arrival::Close) return 0;  // the session closes
    if (expected == FrameAssembler::Arrival::Ignore) continue;

    const int32_t held = assembler.RecvCount();
    FUZZ_CHECK(static_cast<size_t>(held) == reference.Held(), "bytes held before the arrival");
    assembler.Append(arrival);
    while (capacity < held + count) capacity += FrameAssembler::kCapacityStep;
    FUZZ_CHECK(assembler.RecvCapacity() == capacity, "capacity growth");
    FUZZ_CHECK(assembler.RecvCount() == held + count, "bytes held after the arrival");

    const std::vector<std::vector<uint8_t>> frames = reference.Feed(arrival.data(), arrival.size());
    size_t taken = 0;
    bool lost = false;
    for (bool more = true; more;) {
      std::span<const uint8_t> view;
      switch (assembler.Next(view)) {
        case FrameAssembler::Step::NeedMore:
          more = false;
          break;
        case FrameAssembler::Step::Frame:
        case FrameAssembler::Step::Empty: {
          FUZZ_CHECK(taken < frames.size(), "a frame the stream does not hold");
          const std::vector<uint8_t>& want = frames[taken++];
          FUZZ_CHECK(view.size() == want.size() &&
                         std::equal(view.begin(), view.end(), want.begin()),
                     "frame bytes");
          FUZZ_CHECK(static_cast<int32_t>(view.size()) <= kLargestFrame, "frame above the limit");
          FUZZ_CHECK(static_cast<int32_t>(view.size()) <= assembler.RecvCapacity(),
                     "frame larger than the buffer");
          assembler.Consume();
          break;
        }
        case FrameAssembler::Step::LostSync:
          FUZZ_CHECK(reference.State() == ReferenceFrames::Status::LostSync, "lost sync");
          lost = true;
          more = false;
          break;
        case FrameAssembler::Step::NegativeLength:
          FUZZ_CHECK(reference.State() == ReferenceFrames::Status::NegativeLength,
                     "negative length");
          lost = true;
          more = false;
          break;
      }
    }
    FUZZ_CHECK(taken == frames.size(), "a complete frame was not delivered");
    if (lost) return 0;  // the session logs the loss and closes
    FUZZ_CHECK(reference.State() == ReferenceFrames::Status::Ok, "sync lost unnoticed");
    FUZZ_CHECK(static_cast<size_t>(assembler.RecvCount()) == reference.Held(),
               "bytes held after the frames");
  }
  return 0;
}
