// Two CNetSocket objects connected over 127.0.0.1 on one event loop:
//   BM_TcpBulkTransfer  bytes per second of one large transfer (client to server)
//   BM_SmallRoundTrip   9-byte messages sent and echoed back, round trips per second

#include <benchmark/benchmark.h>

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <vector>

#include "loop/EventLoop.h"
#include "net/CNetSocket.h"
#include "net/linux/LinuxPlatform.h"
#include "net/linux/LoopScheduler.h"
#include "net/modNetSocket.h"

namespace {

using toruna::net::CNetSocket;
using toruna::loop::EventLoop;
using toruna::net::LinuxPlatform;
using toruna::net::LoopScheduler;
using toruna::net::modNetSocket;
using toruna::net::Variant;

class Loopback {
 public:
  Loopback() {
    listener_ = CNetSocket::Create(module_);
    listener_->Bind(Variant(0), Variant("127.0.0.1"));
    if (!listener_->Listen()) throw std::runtime_error("listen failed");
    listener_->On().OnConnectionRequest = [this](int32_t id) {
      server = CNetSocket::Create(module_);
      server->Accept(id);
    };
    client = CNetSocket::Create(module_);
    client->Connect(Variant("127.0.0.1"), Variant(listener_->LocalPort()));
    RunUntil([&] {
      return client->State() == toruna::net::StateConnected && server &&
             server->State() == toruna::net::StateConnected;
    });
  }
  ~Loopback() {
    client.reset();
    server.reset();
    listener_.reset();
  }

  template <typename Done>
  void RunUntil(Done done) {
    while (!done()) loop_.ProcessReady(100);
  }

  std::shared_ptr<CNetSocket> client;
  std::shared_ptr<CNetSocket> server;

 private:
  EventLoop loop_;
  LinuxPlatform platform_{loop_};
  LoopScheduler scheduler_{loop_};
  modNetSocket module_{platform_, &scheduler_};
  std::shared_ptr<CNetSocket> listener_;
};

void BM_TcpBulkTransfer(benchmark::State& state) {
  const size_t size = static_cast<size_t>(state.range(0));
  Loopback link;
  const std::vector<uint8_t> payload(size, 0xA5);
  size_t received = 0;
  link.server->On().OnDataArrival = [&](int32_t) {
    Variant chunk;
    link.server->GetData(chunk);
    received += chunk.AsBytes().size();
  };
  for (auto _ : state) {
    received = 0;
    link.client->SendBytes(payload.data(), payload.size());
    link.RunUntil([&] { return received >= size; });
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(size));
}
BENCHMARK(BM_TcpBulkTransfer)->Arg(64 << 20)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_SmallRoundTrip(benchmark::State& state) {
  Loopback link;
  link.server->On().OnDataArrival = [&](int32_t) {
    Variant bytes;
    link.server->GetData(bytes);
    link.server->SendData(bytes);
  };
  size_t echoed = 0;
  link.client->On().OnDataArrival = [&](int32_t) {
    Variant bytes;
    link.client->GetData(bytes);
    echoed += bytes.AsBytes().size();
  };
  const uint8_t message[9] = {42, 6, 0, 1, 2, 3, 4, 5, 6};
  size_t expected = 0;
  for (auto _ : state) {
    link.client->SendBytes(message, sizeof message);
    expected += sizeof message;
    link.RunUntil([&] { return echoed >= expected; });
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
}
BENCHMARK(BM_SmallRoundTrip)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
