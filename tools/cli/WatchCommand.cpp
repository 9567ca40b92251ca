#include "WatchCommand.h"

#include "CommandSession.h"
#include "client/WireText.h"
#include "net/linux/EventLoop.h"
#include "net/linux/SignalWatch.h"
#include "session/Frame.h"

namespace toruna::cli {

namespace {
std::string Path(const std::string& owner, const std::string& event) {
  return Output::Printable(client::NamePatterns::EventPath(owner, event));
}
}  // namespace

WatchCommand::WatchCommand(WatchOptions options, Output& output, SendFn send)
    : options_(std::move(options)),
      patterns_(options_.patterns),
      output_(output),
      send_(std::move(send)) {}

void WatchCommand::OnConnected(const std::string& clientName) {
  send_(session::frames::ClientInfoRequest(client::WireText::ToWire(clientName)));
}

void WatchCommand::PrintEvent(const char* textVerb, const char* jsonType, const client::EventEntry& e,
                              const std::string& owner) {
  std::string text = std::string(textVerb) + " " + std::to_string(e.id) + " " + Path(owner, e.name);
  if (!e.unit.empty()) text += " unit=" + Output::Printable(e.unit);
  text += " interval=" + std::to_string(e.interval) + " max=" + std::to_string(e.max);
  output_.Record(JsonWriter()
                     .Add("type", jsonType)
                     .Add("id", e.id)
                     .Add("owner", e.owner)
                     .Add("client", owner)
                     .Add("event", e.name)
                     .Add("unit", e.unit)
                     .Add("interval", static_cast<int32_t>(e.interval))
                     .Add("max", static_cast<int32_t>(e.max)),
                 text);
}

void WatchCommand::MaybeSubscribe(const client::EventEntry& e, const std::string& owner) {
  if (subscribed_.count(e.id) != 0) return;
  const std::string path = client::NamePatterns::EventPath(owner, e.name);
  if (!patterns_.Matches(path)) return;
  subscribed_.insert(e.id);
  send_(session::frames::EventSubscribe(e.id, 1));
  output_.Record(JsonWriter().Add("type", "subscribed").Add("id", e.id).Add("client", owner).Add(
                     "event", e.name),
                 "subscribed " + std::to_string(e.id) + " " + Path(owner, e.name));
}

void WatchCommand::OnFrame(const session::FrameView& frame) {
  const bool live = roster_.Complete();  // before ServerInfo, frames are the roster
  const client::RosterChange c = roster_.Apply(frame);
  switch (c.kind) {
    case client::ChangeKind::ClientAdded:
      output_.Record(JsonWriter()
                         .Add("type", live ? "client_joined" : "client")
                         .Add("id", c.client.id)
                         .Add("name", c.client.name),
                     std::string(live ? "joined " : "client ") + std::to_string(c.client.id) +
                         " " + Output::Printable(c.client.name));
      break;
    case client::ChangeKind::ClientGone:
      for (const client::EventEntry& e : c.eventsOfGone) subscribed_.erase(e.id);
      output_.Record(JsonWriter()
                         .Add("type", "client_gone")
                         .Add("id", c.client.id)
                         .Add("name", c.client.name)
                         .Add("events", static_cast<int64_t>(c.eventsOfGone.size())),
                     "left " + std::to_string(c.client.id) + " " +
                         Output::Printable(c.client.name));
      break;
    case client::ChangeKind::EventAdded:
      PrintEvent(live ? "created" : "event", live ? "event_created" : "event", c.event,
                 c.client.name);
      MaybeSubscribe(c.event, c.client.name);
      break;
    case client::ChangeKind::EventRemoved: {
      subscribed_.erase(c.event.id);
      const std::string owner = c.known ? roster_.ClientName(c.event.owner) : "?";
      output_.Record(JsonWriter()
                         .Add("type", "event_removed")
                         .Add("id", c.event.id)
                         .Add("client", owner)
                         .Add("event", c.event.name),
                     "removed " + std::to_string(c.event.id) +
                         (c.known ? " " + Path(owner, c.event.name) : ""));
      break;
    }
    case client::ChangeKind::Value: {
      const std::string owner = c.known ? roster_.ClientName(c.event.owner) : "?";
      const std::string event = c.known ? c.event.name : "#" + std::to_string(c.event.id);
      const std::string time = output_.TimeStamp();
      std::string text = time + " " + Path(owner, event) + " " + std::to_string(c.value);
      if (!c.event.unit.empty()) text += " " + Output::Printable(c.event.unit);
      output_.Record(JsonWriter()
                         .Add("type", "value")
                         .Add("time", time)
                         .Add("id", c.event.id)
                         .Add("client", owner)
                         .Add("event", event)
                         .Add("value", static_cast<int32_t>(c.value))
                         .Add("unit", c.event.unit),
                     text);
      break;
    }
    case client::ChangeKind::ServerName: {
      const auto others = static_cast<int64_t>(roster_.Clients().size());
      output_.Record(JsonWriter()
                         .Add("type", "server")
                         .Add("name", c.serverName)
                         .Add("clients", others)
                         .Add("events", static_cast<int64_t>(roster_.Events().size())),
                     "server " + Output::Printable(c.serverName) + " (" + std::to_string(others) +
                         " other clients)");
      break;
    }
    case client::ChangeKind::Subscribers:
    case client::ChangeKind::EventCreated:
    case client::ChangeKind::Ignored:
      // A watcher owns no events: these frames carry nothing to show.
      break;
  }
}

int WatchCommand::Run(const WatchOptions& options, Output& output, net::modNetSocket& dispatcher,
                      net::EventLoop& loop) {
  CommandSession<WatchCommand> session(options, output, dispatcher, loop);
  net::SignalWatch signals(loop, [&](int) { session.Finish(0); });  // Ctrl-C is how a watch ends
  session.link.Open(options.host);
  return session.RunLoop();
}

}  // namespace toruna::cli
