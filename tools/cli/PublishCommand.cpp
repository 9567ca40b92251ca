#include "PublishCommand.h"

#include <unistd.h>

#include <chrono>
#include <optional>

#include "CommandSession.h"
#include "LineReader.h"
#include "client/WireText.h"
#include "net/linux/EventLoop.h"
#include "net/linux/SignalWatch.h"
#include "session/Frame.h"

namespace toruna::cli {

PublishCommand::PublishCommand(PublishOptions options, Output& output, SendFn send)
    : options_(std::move(options)), output_(output), send_(std::move(send)) {}

void PublishCommand::OnConnected(const std::string& clientName) {
  send_(session::frames::ClientInfoRequest(client::WireText::ToWire(clientName)));
  send_(session::frames::EventInfoRequest(kRequestId, options_.interval, options_.max,
                                          client::WireText::EventToWire(options_.event, options_.unit)));
}

void PublishCommand::OnFrame(const session::FrameView& frame) {
  const client::RosterChange c = roster_.Apply(frame);
  if (c.kind == client::ChangeKind::EventCreated && c.requestId == kRequestId && eventId_ == 0 &&
      c.event.id != 0) {
    eventId_ = c.event.id;
    output_.Record(JsonWriter()
                       .Add("type", "created")
                       .Add("id", eventId_)
                       .Add("event", options_.event)
                       .Add("unit", options_.unit),
                   "created " + std::to_string(eventId_) + " " + options_.event +
                       (options_.unit.empty() ? "" : " unit=" + options_.unit));
    Pump();
  } else if (c.kind == client::ChangeKind::Subscribers && eventId_ != 0 && c.event.id == eventId_) {
    const bool now = c.value != 0;
    // Owners are told "nobody listens" again at every departure of any client;
    // only a change of state is worth a line.
    if (now != subscribed_) {
      subscribed_ = now;
      output_.Record(JsonWriter().Add("type", "subscribers").Add("id", eventId_).Add("present", now),
                     now ? "subscriber present for " + options_.event
                         : "no subscriber left for " + options_.event);
      waitingNoted_ = false;
    }
    Pump();
  }
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
  if (eventId_ == 0 || done_) return;
  const bool open = options_.always || subscribed_;
  while (open && !pending_.empty()) {
    const uint8_t v = pending_.front();
    pending_.pop_front();
    send_(session::frames::EventData(eventId_, v));
    ++published_;
    output_.Record(JsonWriter()
                       .Add("type", "published")
                       .Add("id", eventId_)
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
                        net::modNetSocket& dispatcher, net::EventLoop& loop) {
  CommandSession<PublishCommand> session(options, output, dispatcher, loop);
  PublishCommand& cmd = session.command;
  client::ServerLink& link = session.link;

  // Once everything is handed over, let the socket drain and keep reading for a
  // moment, so that closing cannot discard the last values.
  std::optional<net::EventLoop::TimerId> drainTimer;
  int lingerTicks = 0;
  cmd.SetOnDone([&] {
    if (drainTimer) return;
    drainTimer = loop.AddTimer(std::chrono::milliseconds(20), [&] {
      if (link.Unsent() == 0 && ++lingerTicks >= 5) session.Finish(0);
    });
  });

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

  net::SignalWatch signals(loop, [&](int) {
    output.Note("interrupted before every value was published");
    session.Finish(130);
  });

  link.Open(options.host);
  if (options.values.empty()) {
    reader.Start();
  } else {
    for (uint8_t v : options.values) cmd.AddValue(v);
    cmd.EndOfValues();
  }
  const int status = session.RunLoop();

  loop.CancelTimer(pacer);
  if (drainTimer) loop.CancelTimer(*drainTimer);
  return status;
}

}  // namespace toruna::cli
