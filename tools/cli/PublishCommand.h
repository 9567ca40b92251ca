#pragma once
// publish: registers, creates one event and publishes values on it, but only
// while the server says the event has a subscriber (unless --always). The
// protocol side (OnConnected, OnFrame, AddValue, EndOfValues) does no I/O: it
// sends through the given function, so tests drive it with frames.

#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "ArgumentParser.h"
#include "Output.h"
#include "client/Roster.h"

namespace toruna::net {
class modNetSocket;
class EventLoop;
}  // namespace toruna::net

namespace toruna::cli {

class PublishCommand {
 public:
  using SendFn = std::function<void(const std::vector<uint8_t>&)>;
  static constexpr int32_t kRequestId = 1;
  static constexpr size_t kMaxQueued = 4096;  // values held while nobody listens

  PublishCommand(PublishOptions options, Output& output, SendFn send);

  // Registration and the create request, once connected.
  void OnConnected(const std::string& clientName);
  void OnFrame(const session::FrameView& frame);
  // A value line of standard input; false (and a note) when it is not a value.
  bool AddLine(const std::string& line);
  void AddValue(uint8_t value);
  void EndOfValues();

  bool Done() const { return done_; }
  int32_t EventId() const { return eventId_; }
  bool HasSubscriber() const { return subscribed_; }
  size_t Queued() const { return pending_.size(); }
  size_t Published() const { return published_; }
  // Called when every value has been handed to the connection.
  void SetOnDone(std::function<void()> f) { onDone_ = std::move(f); }

  // The whole command over the network; returns the exit status.
  static int Run(const PublishOptions& options, Output& output, net::modNetSocket& dispatcher,
                 net::EventLoop& loop);

 private:
  void Pump();
  void NoteWaiting();

  PublishOptions options_;
  Output& output_;
  SendFn send_;
  client::Roster roster_;
  std::deque<uint8_t> pending_;
  int32_t eventId_ = 0;
  bool subscribed_ = false;
  bool ended_ = false;
  bool done_ = false;
  bool waitingNoted_ = false;
  size_t published_ = 0;
  size_t lineNumber_ = 0;
  std::function<void()> onDone_;
};

}  // namespace toruna::cli
