#pragma once
// Paces what a client sends. The server closes a connection when it finds more
// than 2048 bytes from it waiting at once, however they were split on the way,
// so no more than that is ever on the way unconfirmed. The server confirms
// everything up to a frame when it answers that frame: ServerInfo answers the
// registration, EventCreated a creation, and EventSubscribe for event 0 a
// round trip (EventData for event 0). A frame without an answer of its own
// needs a round trip behind it, so room for one is always kept; one goes out
// after every 1024 bytes of such frames. A frame that would not fit waits in a
// queue for the answers of those before it.
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

  // Sends the frame now, or queues it while the window is full. answered: the
  // server answers this very frame (a registration or a creation).
  void Send(std::vector<uint8_t> frame, bool answered = false);
  // The server answered the oldest frame it answers (a round trip, a
  // registration or a creation); queued frames that now fit leave.
  void Answered();
  // Sends a round trip for what went out since the last answered frame, so
  // that its answer says the server has handled everything sent so far.
  void Probe();
  // Nothing is queued and every answer has come.
  bool Idle() const { return queue_.empty() && marks_.empty(); }
  size_t QueuedBytes() const { return queuedBytes_; }
  // A new connection: nothing queued, nothing on the way.
  void Reset();

  // Whether a frame from the server is the answer to a round trip.
  static bool IsAnswer(const protocol::FrameView& frame) {
    return frame.Type() == protocol::EventSubscribe && frame.Int32At(4) == 0;
  }

 private:
  struct Waiting {
    std::vector<uint8_t> frame;
    bool answered = false;
  };
  void Flush();
  void SendProbe();
  uint64_t LastMark() const { return marks_.empty() ? confirmed_ : marks_.back(); }

  SendFn send_;
  std::deque<Waiting> queue_;
  size_t queuedBytes_ = 0;
  bool flushing_ = false;  // a frame sent may call back into Send
  uint64_t sent_ = 0;       // bytes handed to the connection
  uint64_t confirmed_ = 0;  // of those, handled by the server
  std::deque<uint64_t> marks_;  // sent_ right after each frame whose answer has not come
};

}  // namespace toruna::client
