#pragma once
// publish: creates one event and publishes values on it, but only while the
// server says the event has a subscriber (unless --always). It works through
// a ClientProtocol and does no I/O itself, so tests drive it with frames.

#include <cstdint>
#include <deque>
#include <functional>
#include <string>

#include "ArgumentParser.h"
#include "Output.h"
#include "client/ClientProtocol.h"

namespace toruna::loop {
class EventLoop;
}  // namespace toruna::loop
namespace toruna::net {
class modNetSocket;
}  // namespace toruna::net

namespace toruna::cli {

class PublishCommand {
 public:
  static constexpr size_t kMaxQueued = 4096;  // values held while nobody listens

  // Asks the protocol to create the event and sets its callbacks.
  PublishCommand(PublishOptions options, Output& output, client::ClientProtocol& protocol);

  // A value line of standard input; false (and a note) when it is not a value.
  bool AddLine(const std::string& line);
  void AddValue(uint8_t value);
  void EndOfValues();

  bool Done() const { return done_; }
  // The server's ID of the event; 0 until it is created.
  int32_t EventId() const;
  bool HasSubscriber() const { return protocol_.HasSubscribers(handle_); }
  size_t Queued() const { return pending_.size(); }
  size_t Published() const { return published_; }
  // Called when every value has been handed to the connection.
  void SetOnDone(std::function<void()> f) { onDone_ = std::move(f); }

  // The whole command over the network; returns the exit status.
  static int Run(const PublishOptions& options, Output& output, net::modNetSocket& dispatcher,
                 loop::EventLoop& loop);

 private:
  void Pump();
  void NoteWaiting();

  PublishOptions options_;
  Output& output_;
  client::ClientProtocol& protocol_;
  int32_t handle_ = 0;
  std::deque<uint8_t> pending_;
  bool ended_ = false;
  bool done_ = false;
  bool waitingNoted_ = false;
  size_t published_ = 0;
  size_t lineNumber_ = 0;
  std::function<void()> onDone_;
};

}  // namespace toruna::cli
