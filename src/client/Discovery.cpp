#include "client/Discovery.h"

#include <algorithm>

#include "base/RaisedError.h"
#include "client/WireText.h"
#include "loop/EventLoop.h"
#include "net/CNetSocket.h"
#include "net/Variant.h"
#include "net/linux/SocketLayer.h"
#include "net/modNetSocket.h"

namespace toruna::client {

Discovery::Discovery() : Discovery(net::SocketLayer::Default().Dispatcher()) {}

Discovery::Discovery(net::modNetSocket& dispatcher, LocalNetworks::Source networks)
    : dispatcher_(dispatcher), networksSource_(std::move(networks)) {}

Discovery::~Discovery() { Stop(); }

std::vector<uint8_t> Discovery::Request(int32_t ownPort) {
  const std::string text = "?" + std::to_string(ownPort) + "!";
  return std::vector<uint8_t>(text.begin(), text.end());
}

std::optional<FoundServer> Discovery::ParseReply(std::span<const uint8_t> d) {
  if (d.size() < 5 || d[0] != '*' || d[1] != '*' || d[2] != '*') return std::nullopt;
  size_t nameEnd = 3;
  while (nameEnd < d.size() && d[nameEnd] != 0) ++nameEnd;
  if (nameEnd >= d.size()) return std::nullopt;
  size_t i = nameEnd + 1;
  int64_t count = 0;
  size_t digits = 0;
  for (; i < d.size() && d[i] != 0; ++i, ++digits) {
    if (d[i] < '0' || d[i] > '9' || digits >= 18) return std::nullopt;
    count = count * 10 + (d[i] - '0');
  }
  if (digits == 0 || i >= d.size()) return std::nullopt;
  FoundServer found;
  found.name = WireText::FromWire(d.subspan(3, nameEnd - 3));
  found.clients = count;
  return found;
}

bool Discovery::OnDatagram(const std::string& address, std::span<const uint8_t> datagram) {
  std::optional<FoundServer> found = ParseReply(datagram);
  if (!found) return false;
  // Asked by broadcast and by address, a server answers more than once; this
  // machine's own answers from whichever of its addresses was asked.
  const bool own = LocalNetworks::IsOwnAddress(address, networks_);
  if (!seen_.emplace(own ? std::string() : address, found->name).second) return false;
  found->address = address;
  servers_.push_back(*found);
  if (OnServer) OnServer(servers_.back());
  return true;
}

void Discovery::Start(const std::vector<std::string>& destinations, int32_t port) {
  networks_ = networksSource_ ? networksSource_() : std::vector<LocalNetwork>{};
  std::vector<std::string> asked;
  auto add = [&](const std::string& destination) {
    if (std::find(asked.begin(), asked.end(), destination) == asked.end()) asked.push_back(destination);
  };
  for (const std::string& destination : destinations) {
    if (destination != kBroadcast) add(destination);
  }
  if (destinations.empty() ||
      std::find(destinations.begin(), destinations.end(), kBroadcast) != destinations.end()) {
    broadcasts_.insert(kBroadcast);
    add(kBroadcast);
    for (const LocalNetwork& n : networks_) {
      if (n.broadcast.empty()) continue;
      broadcasts_.insert(n.broadcast);
      add(n.broadcast);
    }
  }
  for (const std::string& destination : asked) Ask(destination, port);
}

// One socket per destination: a destination that fails (a broadcast with no
// network to carry it) leaves its socket in error, and the others unharmed.
void Discovery::Ask(const std::string& destination, int32_t port) {
  auto s = net::CNetSocket::Create(dispatcher_);
  net::CNetSocket* raw = s.get();
  sockets_.push_back(s);
  auto fail = [this, destination](const std::string& reason) {
    if (OnError) OnError(destination, reason);
  };
  s->On().OnError = [fail](net::SocketErrorArgs& e) {
    e.CancelDisplay = true;
    // No route there, or the network is down: nobody there can answer.
    if (e.Number == net::kErrNetworkDown || e.Number == net::kErrNetworkUnreachable ||
        e.Number == net::kErrHostUnreachable) {
      return;
    }
    fail(e.Description);
  };
  // The socket layer drops the datagram that waits behind the one taken in
  // this event, so take every waiting answer now: several servers answer a
  // broadcast at the same moment.
  s->On().OnDataArrival = [this, raw](int32_t) {
    for (int taken = 0; taken < 64 && raw->BytesReceived() > 0; ++taken) {
      net::Variant data(std::vector<uint8_t>{});
      try {
        raw->GetData(data);
      } catch (const base::RaisedError&) {
        continue;  // a datagram too long to be an answer is gone now
      }
      if (data.Type() == net::vbByteArray) OnDatagram(raw->RemoteHostIP(), data.AsBytes());
    }
  };
  try {
    s->SetProtocol(net::ProtocolUdp);
    s->Bind(net::Variant(int32_t{0}));
    if (s->State() != net::StateOpen) {
      fail("no local UDP port");
      return;
    }
    s->SetRemoteHost(destination);
    s->SetRemotePort(port);
    s->SendData(net::Variant(Request(s->LocalPort())));
  } catch (const base::RaisedError& e) {
    // The send path raises 40014 when the destination's name cannot be looked up.
    fail(e.Number() == base::kErrBadArgument ? std::string("host not found") : e.Description());
  }
}

void Discovery::Stop() {
  for (auto& s : sockets_) {
    s->On().OnDataArrival = nullptr;
    s->On().OnError = nullptr;
    try {
      s->CloseSck();
    } catch (const base::RaisedError&) {
      // Released with the object either way.
    }
  }
  sockets_.clear();
}

std::vector<FoundServer> Discover(std::chrono::milliseconds timeout,
                                  const std::vector<std::string>& destinations, int32_t port) {
  // A loop of its own: the process-wide one may be in use, and a stopped loop
  // cannot run again.
  net::SocketLayer layer;
  loop::EventLoop& loop = layer.Loop();
  std::vector<FoundServer> found;
  {
    Discovery discovery(layer.Dispatcher());
    discovery.Start(destinations, port);
    loop.RunAfter(timeout, [&] { loop.Stop(); });
    loop.Run();
    found = discovery.Servers();
  }
  return found;
}

}  // namespace toruna::client
