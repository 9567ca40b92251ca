#include "DiscoverCommand.h"

#include <chrono>
#include <memory>

#include "net/linux/SignalWatch.h"
#include "client/WireText.h"
#include "net/CNetSocket.h"
#include "net/RaisedError.h"
#include "net/Variant.h"
#include "net/linux/EventLoop.h"

namespace toruna::cli {

std::vector<uint8_t> DiscoverCommand::Request(int32_t ownPort) {
  const std::string text = "?" + std::to_string(ownPort) + "!";
  return std::vector<uint8_t>(text.begin(), text.end());
}

std::optional<DiscoverCommand::Reply> DiscoverCommand::ParseReply(
    std::span<const uint8_t> d) {
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
  return Reply{client::WireText::FromWire(d.subspan(3, nameEnd - 3)), count};
}

bool DiscoverCommand::OnDatagram(const std::string& address, std::span<const uint8_t> datagram) {
  const std::optional<Reply> r = ParseReply(datagram);
  if (!r) return false;
  if (!seen_.emplace(address, r->name).second) return false;
  output_.Record(JsonWriter()
                     .Add("type", "server")
                     .Add("address", address)
                     .Add("name", r->name)
                     .Add("clients", r->clients),
                 address + "\t" + Output::Printable(r->name) + "\t" + std::to_string(r->clients) +
                     (r->clients == 1 ? " client" : " clients"));
  return true;
}

int DiscoverCommand::Run(const DiscoverOptions& options, Output& output,
                         net::modNetSocket& dispatcher, net::EventLoop& loop) {
  DiscoverCommand cmd(output);
  bool stopped = false;
  auto finish = [&] {
    if (stopped) return;
    stopped = true;
    loop.Stop();
  };

  // One socket per destination: a destination that fails (a broadcast with no
  // network to carry it) leaves its socket in error, and the others unharmed.
  std::vector<std::string> destinations{kBroadcast};
  destinations.insert(destinations.end(), options.to.begin(), options.to.end());
  std::vector<std::shared_ptr<net::CNetSocket>> sockets;
  for (const std::string& dest : destinations) {
    auto s = net::CNetSocket::Create(dispatcher);
    net::CNetSocket* raw = s.get();
    sockets.push_back(s);
    const std::string what = dest == kBroadcast ? std::string("the broadcast") : dest;
    s->OnError = [&output, what](net::SocketErrorArgs& e) {
      e.CancelDisplay = true;
      output.Note("cannot ask " + what + ": " + e.Description);
    };
    // The socket layer drops the datagram that waits behind the one taken in
    // this event, so take every waiting answer now: several servers answer a
    // broadcast at the same moment.
    s->OnDataArrival = [&cmd, raw](int32_t) {
      for (int taken = 0; taken < 64 && raw->BytesReceived() > 0; ++taken) {
        net::Variant data(std::vector<uint8_t>{});
        try {
          raw->GetData(data);
        } catch (const net::RaisedError&) {
          continue;  // a datagram too long to be an answer is gone now
        }
        if (data.Type() == net::vbByteArray) cmd.OnDatagram(raw->RemoteHostIP(), data.AsBytes());
      }
    };
    try {
      s->SetProtocol(net::ProtocolUdp);
      s->Bind(net::Variant(int32_t{0}));
      if (s->State() != net::StateOpen) {
        output.Note("cannot ask " + what + ": no local UDP port");
        continue;
      }
      s->SetRemoteHost(dest);
      s->SetRemotePort(kDiscoveryPort);
      s->SendData(net::Variant(Request(s->LocalPort())));
    } catch (const net::RaisedError& e) {
      // The send path raises 40014 when the destination's name cannot be looked up.
      output.Note("cannot ask " + what + ": " +
                  (e.Number() == net::kErrBadArgument ? std::string("host not found")
                                                      : e.Description()));
    }
  }

  const auto ms = std::chrono::milliseconds(static_cast<int64_t>(options.timeoutSeconds * 1000));
  const auto timer = loop.AddTimer(ms < std::chrono::milliseconds(1) ? std::chrono::milliseconds(1) : ms,
                                   [&] { finish(); });
  {
    net::SignalWatch signals(loop, [&](int) { finish(); });
    loop.Run();
  }
  loop.CancelTimer(timer);
  for (auto& s : sockets) {
    s->OnDataArrival = nullptr;
    s->OnError = nullptr;
    try {
      s->CloseSck();
    } catch (const net::RaisedError&) {
      // Ending anyway; a socket that will not close is released with the process.
    }
  }
  if (cmd.Answers() == 0) {
    output.Note("no server answered");
    return 1;
  }
  return 0;
}

}  // namespace toruna::cli
