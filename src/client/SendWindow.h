#pragma once
// Paces what a client sends. The server closes a connection when it finds more
// than 2048 bytes from it waiting at once, which a burst of small frames
// reaches easily. So no more than that is ever on the way unconfirmed: after
// every 1024 bytes a round trip goes out (EventData for event 0, which the
// server answers with EventSubscribe for event 0 once it has handled
// everything before it), and a frame that would not fit waits in a queue for
// the answers of the round trips before it.
// This class owns its queue; frames leave through the send function.

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <vector>

#include "protocol/Frame.h"

namespace toruna::client {

class SendWindow {
 public:
  static constexpr size_t kLimit = 2048;        // the server's limit of bytes waiting
  static constexpr size_t kProbeEvery = kLimit / 2;

  using SendFn = std::function<void(const std::vector<uint8_t>&)>;
  explicit SendWindow(SendFn send);

  // Sends the frame now, or queues it while the window is full.
  void Send(std::vector<uint8_t> frame);
  // The server answered the oldest round trip; queued frames that now fit leave.
  void Answered();
  // Sends a round trip for what went out since the last one, so that its
  // answer says the server has handled everything sent so far.
  void Probe();
  // Nothing is queued and every round trip has been answered.
  bool Idle() const { return queue_.empty() && probes_.empty(); }
  size_t QueuedBytes() const { return queuedBytes_; }

  // Whether a frame from the server is the answer to a round trip.
  static bool IsAnswer(const protocol::FrameView& frame) {
    return frame.Type() == protocol::EventSubscribe && frame.Int32At(4) == 0;
  }

 private:
  void Flush();
  void SendProbe();
  uint64_t LastProbe() const { return probes_.empty() ? confirmed_ : probes_.back(); }

  SendFn send_;
  std::deque<std::vector<uint8_t>> queue_;
  size_t queuedBytes_ = 0;
  bool flushing_ = false;  // a frame sent may call back into Send
  uint64_t sent_ = 0;       // bytes handed to the connection
  uint64_t confirmed_ = 0;  // of those, handled by the server
  std::deque<uint64_t> probes_;  // sent_ right after each round trip not yet answered
};

}  // namespace toruna::client
