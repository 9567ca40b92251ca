#include "WatchCommand.h"

#include "CommandSession.h"
#include "client/NamePatterns.h"
#include "loop/EventLoop.h"
#include "loop/SignalWatch.h"

namespace toruna::cli {

using client::ClientEntry;
using client::EventEntry;

WatchCommand::WatchCommand(const WatchOptions& options, Output& output,
                           client::ClientProtocol& protocol)
    : output_(output), protocol_(protocol), count_(options.count) {
  protocol_.OnClientJoined = [this](const ClientEntry& c) {
    const bool live = protocol_.Registered();  // before the server's name, clients are the roster
    output_.Record(JsonWriter()
                       .Add("type", live ? "client_joined" : "client")
                       .Add("id", c.id)
                       .Add("name", c.name),
                   std::string(live ? "joined " : "client ") + std::to_string(c.id) + " " +
                       Output::Printable(c.name));
  };
  protocol_.OnClientLeft = [this](const ClientEntry& c, const std::vector<EventEntry>& events) {
    output_.Record(JsonWriter()
                       .Add("type", "client_gone")
                       .Add("id", c.id)
                       .Add("name", c.name)
                       .Add("events", static_cast<int64_t>(events.size())),
                   "left " + std::to_string(c.id) + " " + Output::Printable(c.name));
  };
  protocol_.OnEventAdded = [this](const EventEntry& e) {
    const bool live = protocol_.Registered();
    PrintEvent(live ? "created" : "event", live ? "event_created" : "event", e);
  };
  protocol_.OnSubscribed = [this](const EventEntry& e) {
    const std::string owner = protocol_.State().ClientName(e.owner);
    output_.Record(JsonWriter().Add("type", "subscribed").Add("id", e.id).Add("client", owner).Add(
                       "event", e.name),
                   "subscribed " + std::to_string(e.id) + " " + Path(e.owner, e.name));
  };
  protocol_.OnEventRemoved = [this](const EventEntry& e) {
    const bool known = e.owner != 0;
    const std::string owner = known ? protocol_.State().ClientName(e.owner) : "?";
    output_.Record(JsonWriter()
                       .Add("type", "event_removed")
                       .Add("id", e.id)
                       .Add("client", owner)
                       .Add("event", e.name),
                   "removed " + std::to_string(e.id) + (known ? " " + Path(e.owner, e.name) : ""));
  };
  protocol_.OnValue = [this](const client::Value& v) { PrintValue(v); };
  protocol_.OnRegistered = [this](const std::string& serverName) {
    const auto others = static_cast<int64_t>(protocol_.State().Clients().size());
    output_.Record(JsonWriter()
                       .Add("type", "server")
                       .Add("name", serverName)
                       .Add("clients", others)
                       .Add("events", static_cast<int64_t>(protocol_.State().Events().size())),
                   "server " + Output::Printable(serverName) + " (" + std::to_string(others) +
                       " other clients)");
  };
  for (const std::string& pattern : options.patterns) protocol_.Subscribe(pattern);
}

std::string WatchCommand::Path(int32_t owner, const std::string& event) const {
  return Output::Printable(
      client::NamePatterns::EventPath(protocol_.State().ClientName(owner), event));
}

void WatchCommand::PrintEvent(const char* textVerb, const char* jsonType, const EventEntry& e) {
  std::string text =
      std::string(textVerb) + " " + std::to_string(e.id) + " " + Path(e.owner, e.name);
  if (!e.unit.empty()) text += " unit=" + Output::Printable(e.unit);
  text += " interval=" + std::to_string(e.interval) + " max=" + std::to_string(e.max);
  output_.Record(JsonWriter()
                     .Add("type", jsonType)
                     .Add("id", e.id)
                     .Add("owner", e.owner)
                     .Add("client", protocol_.State().ClientName(e.owner))
                     .Add("event", e.name)
                     .Add("unit", e.unit)
                     .Add("interval", static_cast<int32_t>(e.interval))
                     .Add("max", static_cast<int32_t>(e.max)),
                 text);
}

void WatchCommand::PrintValue(const client::Value& v) {
  // Values read in the same batch as the last one counted are not printed.
  if (count_ && values_ >= *count_) return;
  const bool known = !v.client.empty();
  const std::string owner = known ? v.client : "?";
  const std::string event = known ? v.event.name : "#" + std::to_string(v.event.id);
  const std::string time = output_.TimeStamp();
  std::string text = time + " " +
                     Output::Printable(client::NamePatterns::EventPath(owner, event)) + " " +
                     std::to_string(v.value);
  if (!v.event.unit.empty()) text += " " + Output::Printable(v.event.unit);
  output_.Record(JsonWriter()
                     .Add("type", "value")
                     .Add("time", time)
                     .Add("id", v.event.id)
                     .Add("client", owner)
                     .Add("event", event)
                     .Add("value", static_cast<int32_t>(v.value))
                     .Add("unit", v.event.unit),
                 text);
  ++values_;
  if (count_ && values_ == *count_ && onEnough_) onEnough_();
}

int WatchCommand::Run(const WatchOptions& options, Output& output, net::modNetSocket& dispatcher,
                      loop::EventLoop& loop) {
  CommandSession<WatchCommand> session(options, output, dispatcher, loop);
  loop::SignalWatch signals(loop, [&](int) { session.Finish(0); });  // Ctrl-C is how a watch ends
  session.command.SetOnEnough([&] { session.Finish(0); });
  loop::EventLoop::TimerId timer = 0;
  if (options.timeoutSeconds) {
    timer = loop.RunAfter(TimeoutOf(*options.timeoutSeconds), [&] {
      timer = 0;
      if (!options.count) {
        session.Finish(0);  // watching for a while is all that was asked
        return;
      }
      output.Note("timed out after " + SecondsText(*options.timeoutSeconds) + " with " +
                  std::to_string(session.command.Values()) + " of " + std::to_string(*options.count) +
                  " values");
      session.Finish(kExitTimedOut);
    });
  }
  session.Open(options);
  const int status = session.RunLoop();
  if (timer != 0) loop.CancelTimer(timer);
  return status;
}

}  // namespace toruna::cli
