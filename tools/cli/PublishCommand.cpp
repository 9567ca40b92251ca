#include "PublishCommand.h"

#include <unistd.h>

#include <chrono>
#include <optional>

#include "CommandSession.h"
#include "LineReader.h"
#include "loop/EventLoop.h"
#include "loop/SignalWatch.h"

namespace toruna::cli {

PublishCommand::PublishCommand(PublishOptions options, Output& output,
                               client::ClientProtocol& protocol)
    : options_(std::move(options)), output_(output), protocol_(protocol) {
  protocol_.OnEventReady = [this](const client::OwnEvent& e) {
    if (e.handle != handle_) return;
    output_.Record(JsonWriter()
                       .Add("type", "created")
                       .Add("id", e.id)
                       .Add("event", options_.event)
                       .Add("unit", options_.unit),
                   "created " + std::to_string(e.id) + " " + options_.event +
                       (options_.unit.empty() ? "" : " unit=" + options_.unit));
    Pump();
  };
  // The library reports changes only: owners are told "nobody listens" again
  // at every departure of any client.
  protocol_.OnSubscribers = [this](const client::OwnEvent& e) {
    if (e.handle != handle_) return;
    output_.Record(
        JsonWriter().Add("type", "subscribers").Add("id", e.id).Add("present", e.hasSubscribers),
        e.hasSubscribers ? "subscriber present for " + options_.event
                         : "no subscriber left for " + options_.event);
    waitingNoted_ = false;
    Pump();
  };
  handle_ = protocol_.CreateEvent(options_.event, options_.unit, options_.interval, options_.max);
}

int32_t PublishCommand::EventId() const {
  const client::OwnEvent* e = protocol_.FindOwnEvent(handle_);
  return e != nullptr ? e->id : 0;
}

bool PublishCommand::AddLine(const std::string& line) {
  ++lineNumber_;
  if (line.empty()) return true;
  const std::optional<uint8_t> v = ArgumentParser::ParseValue(line);
  if (!v) {
    output_.Note("line " + std::to_string(lineNumber_) + " of standard input: '" +
                 Output::Printable(line) + "' is not a value from 0 to 255");
    return false;
  }
  AddValue(*v);
  return true;
}

void PublishCommand::AddValue(uint8_t value) {
  pending_.push_back(value);
  Pump();
}

void PublishCommand::EndOfValues() {
  ended_ = true;
  Pump();
}

void PublishCommand::NoteWaiting() {
  if (waitingNoted_) return;
  waitingNoted_ = true;
  output_.Note("waiting for a subscriber to " + options_.event);
}

void PublishCommand::Pump() {
  const int32_t id = EventId();
  if (id == 0 || done_) return;
  const bool open = options_.always || HasSubscriber();
  while (open && !pending_.empty()) {
    const uint8_t v = pending_.front();
    if (!protocol_.Publish(handle_, v)) break;  // the connection has ended
    pending_.pop_front();
    ++published_;
    output_.Record(JsonWriter()
                       .Add("type", "published")
                       .Add("id", id)
                       .Add("event", options_.event)
                       .Add("value", static_cast<int32_t>(v)),
                   "published " + options_.event + " " + std::to_string(v));
  }
  if (!open && (!pending_.empty() || !ended_)) NoteWaiting();
  if (ended_ && pending_.empty()) {
    done_ = true;
    if (onDone_) onDone_();
  }
}

int PublishCommand::Run(const PublishOptions& options, Output& output,
                        net::modNetSocket& dispatcher, loop::EventLoop& loop) {
  CommandSession<PublishCommand> session(options, output, dispatcher, loop);
  PublishCommand& cmd = session.command;
  // Once everything is handed over, end when it has left: closing cannot then
  // discard the last values.
  cmd.SetOnDone([&] { session.connection.WhenSent([&] { session.Finish(0); }); });

  bool paused = false;
  LineReader reader(
      loop, STDIN_FILENO,
      [&](const std::string& line) {
        if (session.Finished()) return;
        if (!cmd.AddLine(line)) session.Finish(2);
        if (!paused && cmd.Queued() >= kMaxQueued) {
          reader.Pause();
          paused = true;
        }
      },
      [&] { cmd.EndOfValues(); });
  const auto pacer = loop.AddTimer(std::chrono::milliseconds(50), [&] {
    if (paused && cmd.Queued() < kMaxQueued / 2) {
      reader.Resume();
      paused = false;
    }
  });

  loop::SignalWatch signals(loop, [&](int) {
    output.Note("interrupted before every value was published");
    session.Finish(130);
  });

  // Without a timeout a publisher waits for its first subscriber for good.
  loop::EventLoop::TimerId timer = 0;
  if (options.timeoutSeconds) {
    timer = loop.RunAfter(TimeoutOf(*options.timeoutSeconds), [&] {
      timer = 0;
      output.Note("timed out after " + SecondsText(*options.timeoutSeconds) + ": " +
                  std::to_string(cmd.Queued()) + (cmd.Queued() == 1 ? " value" : " values") +
                  " not published");
      session.Finish(kExitTimedOut);
    });
  }
  session.Open(options);
  if (options.values.empty()) {
    reader.Start();
  } else {
    for (uint8_t v : options.values) cmd.AddValue(v);
    cmd.EndOfValues();
  }
  const int status = session.RunLoop();

  loop.CancelTimer(pacer);
  if (timer != 0) loop.CancelTimer(timer);
  return status;
}

}  // namespace toruna::cli
