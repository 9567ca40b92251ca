// A dashboard: finds a server on the local network (or takes HOST), registers,
// subscribes to every event whose "client/event" name matches PATTERN (also to
// events created later) and shows each value as it comes, with its time, and
// who comes and goes. When the server goes away it says so and keeps trying;
// once back, the subscription is restored by itself. It drives the library
// from a loop of its own, as a program with a GUI toolkit would: the
// library's descriptor is polled beside anything else.
//
//   dashboard [--host HOST] [--pattern PATTERN] [--count N]

#include <poll.h>
#include <toruna/client/TorunaClient.h>

#include <cstdlib>
#include <ctime>
#include <iostream>
#include <string>

using namespace toruna::client;

int main(int argc, char** argv) {
  std::string host, pattern = "*/temperature";
  int count = 0;  // values to show before leaving; 0: forever
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string option = argv[i];
    if (option == "--host") host = argv[i + 1];
    if (option == "--pattern") pattern = argv[i + 1];
    if (option == "--count") count = std::atoi(argv[i + 1]);
  }
  std::cout << std::unitbuf;

  if (host.empty()) {
    const std::vector<FoundServer> servers = Discover(std::chrono::seconds(1));  // by broadcast
    if (servers.empty()) {
      std::cerr << "dashboard: no server answered\n";
      return 1;
    }
    host = servers.front().address;
    std::cout << "found " << servers.front().name << " at " << host << " with "
              << servers.front().clients << " clients\n";
  }

  Connection c;
  bool done = false;
  int values = 0;
  c.SetReconnect(Connection::Reconnect{});
  c.OnRegistered = [&](const std::string& server) {
    std::cout << "connected to " << server << ", " << c.State().Clients().size()
              << " other clients\n";
  };
  c.OnDown = [&](const Ending& e, std::chrono::milliseconds retryIn) {
    std::cout << "down: " << e.message << "; trying again in " << retryIn.count() << " ms\n";
  };
  c.OnBack = [&](const std::string& server) { std::cout << "back with " << server << "\n"; };
  c.OnClientJoined = [&](const ClientEntry& client) { std::cout << "joined " << client.name << "\n"; };
  c.OnClientLeft = [&](const ClientEntry& client, const std::vector<EventEntry>&) {
    std::cout << "left " << client.name << "\n";
  };
  c.OnSubscribed = [&](const EventEntry& e) { std::cout << "watching " << c.PathOf(e) << "\n"; };
  c.OnValue = [&](const Value& v) {
    const std::time_t t = std::chrono::system_clock::to_time_t(v.arrived);
    char when[16];
    std::strftime(when, sizeof when, "%H:%M:%S", std::localtime(&t));
    std::cout << when << " " << v.client << "/" << v.event.name << " "
              << static_cast<int>(v.value) << " " << v.event.unit << "\n";
    done = ++values == count;
  };
  c.Subscribe(pattern);
  c.Open(host, "dashboard");

  while (!done) {
    pollfd ready{c.Loop().Fd(), POLLIN, 0};
    if (poll(&ready, 1, 1000) > 0) c.Loop().ProcessReady();
  }
  return 0;
}
