// A sensor: registers with a Toruna server, creates the event "temperature"
// and publishes a reading twice a second, but only while somebody subscribes:
// the server tells the owner when its event gets its first subscriber and when
// the last one leaves. When the server goes away (restarted, rebooted, the
// network down) it keeps trying, and comes back under the same name with its
// event.
//
//   sensor HOST [NAME] [COUNT]     (COUNT readings, then it leaves; 0: forever)

#include <toruna/client/TorunaClient.h>

#include <cstdlib>
#include <iostream>
#include <string>

using namespace toruna::client;

int main(int argc, char** argv) {
  if (argc < 2) {
    std::cerr << "usage: sensor HOST [NAME] [COUNT]\n";
    return 2;
  }
  const std::string host = argv[1];
  const std::string name = argc > 2 ? argv[2] : "sensor";
  const int count = argc > 3 ? std::atoi(argv[3]) : 0;
  std::cout << std::unitbuf;

  Connection c;  // on the library's own event loop
  toruna::loop::EventLoop& loop = c.Loop();
  int published = 0;

  // Asked for before connecting: it is created right after the registration,
  // and again after every reconnection.
  const int32_t temperature = c.CreateEvent("temperature", "°C", /*interval=*/500, /*max=*/60);

  c.SetReconnect(Connection::Reconnect{});  // from half a second up to half a minute between tries
  c.OnRegistered = [&](const std::string& server) {
    std::cout << "registered with " << server << " as " << name << "\n";
  };
  c.OnDown = [&](const Ending& e, std::chrono::milliseconds retryIn) {
    std::cout << "down: " << e.message << "; trying again in " << retryIn.count() << " ms\n";
  };
  c.OnBack = [&](const std::string& server) { std::cout << "back with " << server << "\n"; };
  c.OnSubscribers = [&](const OwnEvent& e) {
    std::cout << (e.hasSubscribers ? "somebody listens to " : "nobody listens to ") << e.name << "\n";
  };

  loop.AddTimer(std::chrono::milliseconds(500), [&] {
    if (!c.HasSubscribers(temperature) || (count > 0 && published >= count)) return;
    const auto reading = static_cast<uint8_t>(20 + published % 5);  // a made-up 20..24 °C
    if (!c.Publish(temperature, reading)) return;
    std::cout << "published " << static_cast<int>(reading) << "\n";
    // Leave once the last reading has really gone out.
    if (++published == count) c.WhenSent([&] { loop.Stop(); });
  });

  c.Open(host, name);
  loop.Run();
  return 0;
}
