#include "DiscoverCommand.h"

#include <algorithm>
#include <chrono>

#include "loop/EventLoop.h"
#include "loop/SignalWatch.h"

namespace toruna::cli {

void DiscoverCommand::Print(const client::FoundServer& s) {
  output_.Record(JsonWriter()
                     .Add("type", "server")
                     .Add("address", s.address)
                     .Add("name", s.name)
                     .Add("clients", s.clients),
                 s.address + "\t" + Output::Printable(s.name) + "\t" + std::to_string(s.clients) +
                     (s.clients == 1 ? " client" : " clients"));
}

int DiscoverCommand::Run(const DiscoverOptions& options, Output& output,
                         net::modNetSocket& dispatcher, loop::EventLoop& loop) {
  DiscoverCommand cmd(output);
  client::Discovery discovery(dispatcher);
  discovery.OnServer = [&](const client::FoundServer& s) { cmd.Print(s); };
  discovery.OnError = [&](const std::string& destination, const std::string& reason) {
    const bool broadcast = discovery.IsBroadcast(destination);
    // Asked for addresses of its own, the user need not hear about the broadcasts.
    if (broadcast && !options.to.empty()) return;
    output.Note("cannot ask " + (broadcast ? "the broadcast to " + destination : destination) +
                ": " + reason);
  };
  // The broadcasts always, and each address asked for besides.
  std::vector<std::string> destinations{client::Discovery::kBroadcast};
  destinations.insert(destinations.end(), options.to.begin(), options.to.end());
  discovery.Start(destinations);

  bool stopped = false;
  auto finish = [&] {
    if (stopped) return;
    stopped = true;
    loop.Stop();
  };
  const auto ms = std::chrono::milliseconds(static_cast<int64_t>(options.timeoutSeconds * 1000));
  const auto timer = loop.RunAfter(ms, [&] { finish(); });
  {
    loop::SignalWatch signals(loop, [&](int) { finish(); });
    loop.Run();
  }
  loop.CancelTimer(timer);
  discovery.Stop();
  if (discovery.Servers().empty()) {
    output.Note("no server answered");
    return 1;
  }
  return 0;
}

}  // namespace toruna::cli
