// Whole client sessions: up to eight clients connect to the server over the
// in-memory platform and send it whatever the input says, as raw bytes or as
// frames (registration, events created, published and removed, subscriptions
// to the events they have heard of), read slowly or not at all, close or reset,
// while the loop and the release timer run. Input: operations, one byte each
// (low 4 bits: which; bit 7: run the loop afterwards) and their arguments.
// Checked: nothing crashes, leaks or touches freed memory (the sanitizers);
// every byte stream the server writes is well framed with the right sizes; the
// registries stay consistent; and once every client has gone and the timer has
// run long enough, every session is released and only the two server sockets
// remain open.

#include <cstdint>
#include <vector>

#include "FuzzServer.h"
#include "ReferenceFrames.h"
#include "protocol/Frame.h"

using namespace toruna;
using fuzz::FuzzInput;

namespace {

constexpr size_t kMaxClients = 8;

struct Peer {
  int conn = -1;
  fuzz::ReferenceFrames stream;  // what the server wrote to this client
  std::vector<int32_t> ownEvents;
  bool gone = false;
};

class SessionRun {
 public:
  explicit SessionRun(FuzzInput& in) : in_(in) {}

  void Run() {
    while (!in_.Empty()) {
      const uint8_t op = in_.Byte();
      Step(op & 0x0F, (op & 0x40) != 0);
      if (op & 0x80) Pump();
    }
    Finish();
  }

 private:
  void Step(int op, bool large) {
    if (op == 0) {
      if (peers_.size() < kMaxClients) {
        Peer peer;
        peer.conn = rig_.platform.ConnectClient(13131);
        FUZZ_CHECK(peer.conn >= 0, "nobody listens on 13131");
        peers_.push_back(std::move(peer));
      }
      return;
    }
    if (op == 11) {
      Pump();
      return;
    }
    if (op == 12) {
      for (size_t n = 1 + in_.Below(12); n > 0; --n) Tick();
      return;
    }
    if (op == 13) {
      std::vector<uint8_t> datagram = fuzz::ExactCopy(in_.Slice());
      rig_.platform.SendDatagram(9666, 0x0100007F, in_.U16(), datagram);
      return;
    }
    if (peers_.empty()) return;
    Peer& p = peers_[in_.Below(peers_.size())];
    switch (op) {
      case 1: {
        const size_t n = large ? in_.U16() & 0x1FFF : in_.Byte();
        Send(p, fuzz::ExactCopy(in_.Take(n)));
        break;
      }
      case 2:
        Send(p, protocol::frames::ClientInfoRequest(in_.Take(in_.Below(16))));
        break;
      case 3: {
        const auto requestId = static_cast<int32_t>(in_.U32());
        const auto interval = static_cast<int16_t>(in_.U16());
        const auto max = static_cast<int16_t>(in_.U16());
        Send(p, protocol::frames::EventInfoRequest(requestId, interval, max, in_.Slice()));
        break;
      }
      case 4: {
        const int32_t id = PickEvent(known_);
        Send(p, protocol::frames::EventSubscribe(id, in_.Byte()));
        break;
      }
      case 5: {
        const int32_t id = PickEvent(p.ownEvents);
        Send(p, protocol::frames::EventData(id, in_.Byte()));
        break;
      }
      case 6:
        Send(p, protocol::frames::EventRemove(PickEvent(p.ownEvents)));
        break;
      case 7:
        Read(p, large ? SIZE_MAX : static_cast<size_t>(in_.U16()));
        break;
      case 8:
        rig_.platform.SetWindow(p.conn, large ? size_t{1} << 20 : size_t{in_.Byte()} * 64);
        break;
      case 9:
        rig_.platform.ClientClose(p.conn);
        p.gone = true;
        break;
      case 10:
        rig_.platform.ClientReset(p.conn);
        p.gone = true;
        break;
      default:
        break;
    }
  }

  // An event the clients have heard of, or any ID at all.
  int32_t PickEvent(const std::vector<int32_t>& pool) {
    const uint8_t choice = in_.Byte();
    if (!pool.empty() && choice < 224) return pool[choice % pool.size()];
    if (!known_.empty() && choice < 240) return known_[choice % known_.size()];
    return static_cast<int32_t>(in_.U32());
  }

  void Send(Peer& p, const std::vector<uint8_t>& bytes) { rig_.platform.ClientSend(p.conn, bytes); }

  void Read(Peer& p, size_t max) {
    const std::vector<uint8_t> bytes = rig_.platform.ClientRead(p.conn, max);
    for (const std::vector<uint8_t>& f : p.stream.Feed(bytes.data(), bytes.size())) CheckFrame(p, f);
    FUZZ_CHECK(p.stream.State() == fuzz::ReferenceFrames::Status::Ok,
               "the server broke the framing of a stream");
  }

  void CheckFrame(Peer& p, const std::vector<uint8_t>& f) {
    const int16_t length = protocol::GetInt16(&f[1]);
    FUZZ_CHECK(length > 0, "the server sent a frame without a type");
    const uint8_t type = f[3];
    switch (type) {
      case protocol::EventData:
      case protocol::EventSubscribe:
        FUZZ_CHECK(f.size() == 9, "value or subscription frame size");
        break;
      case protocol::ClientInfo:
        FUZZ_CHECK(length >= 6, "client announcement size");
        break;
      case protocol::ClientGone:
        FUZZ_CHECK(f.size() == 8, "departure frame size");
        break;
      case protocol::EventInfo:
        FUZZ_CHECK(length >= 14, "event announcement size");
        known_.push_back(protocol::GetInt32(&f[8]));
        break;
      case protocol::EventRemove:
        FUZZ_CHECK(length >= 5, "removal frame size");
        break;
      case protocol::EventCreated:
        FUZZ_CHECK(f.size() == 12, "creation answer size");
        p.ownEvents.push_back(protocol::GetInt32(&f[8]));
        known_.push_back(protocol::GetInt32(&f[8]));
        break;
      case protocol::ServerInfo:
        FUZZ_CHECK(f == rig_.form->NameMessage(), "server name frame");
        break;
      default:
        FUZZ_CHECK(false, "the server sent an unknown type");
    }
  }

  void Pump() {
    rig_.Pump();
    CheckRegistry();
  }

  void Tick() {
    rig_.form->tmrMain_Timer();
    Pump();
  }

  void CheckRegistry() {
    server::frmMain& form = *rig_.form;
    for (const auto& entry : form.colClients) {
      FUZZ_CHECK(entry.item->Registered(), "an unregistered session among the clients");
      const auto* accepted = form.colConnections.Find(entry.id);
      FUZZ_CHECK(accepted != nullptr && *accepted == entry.item,
                 "a registered session missing from the connections");
    }
    for (const auto& departed : form.colDisconnected) {
      FUZZ_CHECK(!form.colClients.Contains(departed->ID()) ||
                     *form.colClients.Find(departed->ID()) != departed,
                 "a departed session still registered");
    }
  }

  void Finish() {
    for (Peer& p : peers_) {
      if (!p.gone) rig_.platform.ClientClose(p.conn);
    }
    Pump();
    for (Peer& p : peers_) Read(p, SIZE_MAX);
    server::frmMain& form = *rig_.form;
    FUZZ_CHECK(form.colClients.Count() == 0, "a client is still registered after all left");
    // The first release comes ten ticks after the first tick that sees a
    // departure, then one per tick.
    for (size_t n = 12 + form.colDisconnected.size(); n > 0; --n) Tick();
    FUZZ_CHECK(form.colDisconnected.empty(), "departed sessions not released");
    FUZZ_CHECK(form.colConnections.Count() == 0, "sessions kept after their clients left");
    FUZZ_CHECK(rig_.platform.OpenSockets() == 2, "sockets left open besides the server's two");
  }

  FuzzInput& in_;
  fuzz::FuzzServer rig_;
  std::vector<Peer> peers_;
  std::vector<int32_t> known_;
};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/) {
  fuzz::InstallFailingAlerts();
  fuzz::SettingsPath();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzInput in(data, size);
  {
    SessionRun run(in);
    run.Run();
  }
  return 0;
}
