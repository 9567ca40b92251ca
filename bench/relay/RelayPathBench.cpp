// The relay's own work per message, without the system calls: the whole server
// over the tests' in-memory platform (no descriptors, no kernel),
// one publisher and subscribers on one event. Each iteration the publisher sends
// a batch of EventData frames and every subscriber's bytes are taken:
//   BM_RelayPath/1/1    one frame in, one frame out, each its own batch
//   BM_RelayPath/64/1   64 frames per arrival, as under a window of 64
//   BM_RelayPath/64/10  the same to ten subscribers
//   BM_RelayPath/64/100 and to a hundred
// items/s counts deliveries; the time per item is the server's work per delivery
// (plus the in-memory platform's copying, a small part).

#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <stdexcept>
#include <vector>

#include "base/AlertService.h"
#include "protocol/Frame.h"
#include "support/MemoryServer.h"

namespace {

namespace frames = toruna::protocol::frames;

// A message box means the server's own state went wrong: the figures would lie.
class FailingAlerts : public toruna::base::AlertService {
 public:
  void Alert(const std::string& text, const std::string& caption) override {
    std::fprintf(stderr, "message box \"%s\": %s\n", caption.c_str(), text.c_str());
    std::abort();
  }
};

toruna::server::ServerConfig Config() {
  toruna::server::ServerConfig config;
  config.settingsPath = toruna::support::SettingsFile("[Toruna]\nServername=Bench\n");
  return config;
}

std::vector<uint8_t> Text(const char* s) { return std::vector<uint8_t>(s, s + std::char_traits<char>::length(s)); }

class Relay {
 public:
  explicit Relay(int subscribers) {
    static FailingAlerts alerts;
    toruna::base::AlertService::Install(&alerts);
    publisher_ = Join("pub");
    rig_.platform.ClientSend(publisher_, frames::EventInfoRequest(1, 0, 255, Text("Temp")));
    rig_.Pump();
    const std::vector<uint8_t> created = rig_.platform.ClientRead(publisher_);
    if (created.size() < 12) throw std::runtime_error("no EventCreated");
    eventId_ = toruna::protocol::GetInt32(&created[created.size() - 4]);
    for (int i = 0; i < subscribers; ++i) {
      const int s = Join("sub");
      rig_.platform.ClientSend(s, frames::EventSubscribe(eventId_, 1));
      subscribers_.push_back(s);
    }
    rig_.Pump();
    Drain();
  }

  // Publishes count values in one arrival; returns the bytes the subscribers got.
  size_t Publish(int count) {
    batch_.clear();
    for (int i = 0; i < count; ++i) {
      const std::vector<uint8_t> frame = frames::EventData(eventId_, static_cast<uint8_t>(i));
      batch_.insert(batch_.end(), frame.begin(), frame.end());
    }
    rig_.platform.ClientSend(publisher_, batch_);
    rig_.Pump();
    return Drain();
  }

 private:
  int Join(const char* name) {
    const int c = rig_.platform.ConnectClient(13131);
    rig_.platform.ClientSend(c, frames::ClientInfoRequest(Text(name)));
    rig_.Pump();
    Drain();
    return c;
  }
  size_t Drain() {
    size_t got = 0;
    for (int c = 0; c < static_cast<int>(rig_.platform.ConnectionCount()); ++c) {
      const std::vector<uint8_t> bytes = rig_.platform.ClientRead(c);
      if (c != publisher_) got += bytes.size();
    }
    return got;
  }

  toruna::support::MemoryServer rig_{Config()};
  int publisher_ = -1;
  int32_t eventId_ = 0;
  std::vector<int> subscribers_;
  std::vector<uint8_t> batch_;
};

void BM_RelayPath(benchmark::State& state) {
  const int perArrival = static_cast<int>(state.range(0));
  const int subscribers = static_cast<int>(state.range(1));
  Relay relay(subscribers);
  const size_t expected = static_cast<size_t>(perArrival) * subscribers * 9;
  for (auto _ : state) {
    if (relay.Publish(perArrival) != expected) {
      state.SkipWithError("a delivery went missing");
      break;
    }
  }
  state.SetItemsProcessed(state.iterations() * perArrival * subscribers);
}
BENCHMARK(BM_RelayPath)->Args({1, 1})->Args({64, 1})->Args({64, 10})->Args({64, 100});

}  // namespace

BENCHMARK_MAIN();
