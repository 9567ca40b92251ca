// A dashboard: finds a server on the local network (or takes HOST), registers,
// subscribes to every event whose "client/event" name matches PATTERN (also to
// events created later) and shows each value as it comes, and who comes and
// goes. It drives the library from a loop of its own, as a program with a GUI
// toolkit would: the library's descriptor is polled beside anything else.
//
//   dashboard [--host HOST] [--pattern PATTERN] [--count N]

#include <poll.h>
#include <toruna/client/TorunaClient.h>

#include <cstdlib>
#include <iostream>
#include <string>

using namespace toruna::client;

int main(int argc, char** argv) {
  std::string host, pattern = "*/temperature";
  int count = 0;  // values to show before leaving; 0: until the server goes
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
  int status = 0, values = 0;
  c.OnRegistered = [&](const std::string& server) {
    std::cout << "connected to " << server << ", " << c.State().Clients().size()
              << " other clients\n";
  };
  c.OnClientJoined = [&](const ClientEntry& client) { std::cout << "joined " << client.name << "\n"; };
  c.OnClientLeft = [&](const ClientEntry& client, const std::vector<EventEntry>&) {
    std::cout << "left " << client.name << "\n";
  };
  c.OnSubscribed = [&](const EventEntry& e) { std::cout << "watching " << c.PathOf(e) << "\n"; };
  c.OnValue = [&](const Value& v) {
    std::cout << v.client << "/" << v.event.name << " " << static_cast<int>(v.value) << " "
              << v.event.unit << "\n";
    done = ++values == count;
  };
  c.OnEnded = [&](const Ending& e) {
    std::cerr << "dashboard: " << e.message << "\n";
    status = 1;
    done = true;
  };
  c.Subscribe(pattern);
  c.Open(host, "dashboard");

  while (!done) {
    pollfd ready{c.Loop().Fd(), POLLIN, 0};
    if (poll(&ready, 1, 1000) > 0) c.Loop().ProcessReady();
  }
  return status;
}
