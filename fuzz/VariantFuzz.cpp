// The socket layer's value conversions, both ways, through real socket
// objects over the in-memory platform: SendData of every kind (and of kinds
// without a layout) on a connected TCP object, and GetData/PeekData into every
// kind, with and without varType, with every form of maxLen, on TCP bytes and
// on UDP datagrams. Input: operations, one byte each, and their arguments.
// Checked against layouts and a queue model of its own: the bytes SendData
// writes (little-endian numbers, Boolean FF FF / 00 00, text that survives the
// trip through Windows-1252), what GetData takes and leaves, the value it
// builds, the errors it raises (40014, 40018, 10040) and when.

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <deque>
#include <memory>
#include <optional>
#include <vector>

#include "FuzzInput.h"
#include "support/MemoryPlatform.h"
#include "base/Cp1252.h"
#include "base/RaisedError.h"
#include "net/CNetSocket.h"
#include "net/modNetSocket.h"

using namespace toruna;
using fuzz::FuzzInput;
using net::Variant;

static_assert(std::endian::native == std::endian::little, "layouts are read from memory");

namespace {

constexpr uint16_t kTcpPort = 7000;
constexpr uint16_t kUdpPort = 7001;
constexpr uint32_t kSender = 0x0A01A8C0;  // 192.168.1.10

template <typename T>
std::vector<uint8_t> Layout(T value) {
  std::vector<uint8_t> out(sizeof(T));
  std::memcpy(out.data(), &value, sizeof(T));
  return out;
}

template <typename T>
T Decode(const std::vector<uint8_t>& bytes) {
  T value;
  std::memcpy(&value, bytes.data(), sizeof(T));
  return value;
}

// Same bits, or both NaN (a NaN's payload may change on the way through double).
bool SameFloat(double a, double b) {
  return std::bit_cast<uint64_t>(a) == std::bit_cast<uint64_t>(b) || (std::isnan(a) && std::isnan(b));
}

size_t KindSize(int32_t kind) {
  switch (kind) {
    case net::vbByte: return 1;
    case net::vbInteger: case net::vbBoolean: return 2;
    case net::vbLong: case net::vbSingle: return 4;
    case net::vbDouble: case net::vbCurrency: case net::vbDate: return 8;
    default: return 0;
  }
}

class VariantRun {
 public:
  explicit VariantRun(FuzzInput& in) : in_(in) {
    listener_ = net::CNetSocket::Create(dispatcher_);
    tcp_ = net::CNetSocket::Create(dispatcher_);
    udp_ = net::CNetSocket::Create(dispatcher_);
    listener_->On().OnConnectionRequest = [this](int32_t id) { tcp_->Accept(id); };
    listener_->SetLocalPort(kTcpPort);
    FUZZ_CHECK(listener_->Listen(), "listen");
    conn_ = platform_.ConnectClient(kTcpPort);
    udp_->SetProtocol(net::ProtocolUdp);
    udp_->Bind(Variant(static_cast<int32_t>(kUdpPort)));
    Pump();
    FUZZ_CHECK(tcp_->State() == net::StateConnected, "accept");
    FUZZ_CHECK(udp_->State() == net::StateOpen, "bind");
  }
  ~VariantRun() {
    listener_->On().OnConnectionRequest = nullptr;
    udp_->On().OnDataArrival = nullptr;
  }

  void Run() {
    while (!in_.Empty()) {
      switch (in_.Below(4)) {
        case 0: Arrive(); break;
        case 1: Send(); break;
        case 2: Take(); break;
        case 3: Datagram(); break;
      }
    }
  }

 private:
  void Pump() { FUZZ_CHECK(platform_.Pump(), "the loop never settles"); }

  void Arrive() {
    const std::vector<uint8_t> bytes = fuzz::ExactCopy(in_.Slice());
    platform_.ClientSend(conn_, bytes);
    Pump();
    queued_.insert(queued_.end(), bytes.begin(), bytes.end());
    FUZZ_CHECK(tcp_->BytesReceived() == static_cast<int32_t>(queued_.size()), "bytes received");
  }

  // A value of a kind the input picks, and the bytes its layout gives
  // (nullopt: a kind SendData refuses).
  std::pair<Variant, std::optional<std::vector<uint8_t>>> Value() {
    switch (in_.Below(16)) {
      case 0: { const auto v = static_cast<int16_t>(in_.U16()); return {Variant(v), Layout(v)}; }
      case 1: { const auto v = static_cast<int32_t>(in_.U32()); return {Variant(v), Layout(v)}; }
      case 2: {
        const auto v = std::bit_cast<float>(in_.U32());
        std::vector<uint8_t> bytes = Layout(v);
        if (std::isnan(v)) bytes = Layout(std::bit_cast<float>(0x7FC00000u | std::bit_cast<uint32_t>(v)));
        return {Variant(v), bytes};
      }
      case 3: { const auto v = std::bit_cast<double>(in_.U64()); return {Variant(v), Layout(v)}; }
      case 4: { const auto v = static_cast<int64_t>(in_.U64()); return {Variant::Currency(v), Layout(v)}; }
      case 5: { const auto v = std::bit_cast<double>(in_.U64()); return {Variant::Date(v), Layout(v)}; }
      case 6: {
        // Text made from bytes goes back out as exactly those bytes.
        const std::vector<uint8_t> bytes = fuzz::ExactCopy(in_.Slice());
        return {Variant(base::Cp1252::ToUtf8(bytes.data(), bytes.size())), bytes};
      }
      case 7: {
        const std::span<const uint8_t> raw = in_.Slice();
        std::string text(raw.begin(), raw.end());
        std::vector<uint8_t> bytes = base::Cp1252::FromUtf8(text);
        FUZZ_CHECK(bytes.size() <= text.size(), "text grew on the wire");
        return {Variant(std::move(text)), bytes};
      }
      case 8: { const bool v = in_.Bit(); return {Variant(v), std::vector<uint8_t>(2, v ? 0xFF : 0x00)}; }
      case 9: { const uint8_t v = in_.Byte(); return {Variant(v), std::vector<uint8_t>{v}}; }
      case 10: {
        std::vector<uint8_t> bytes = fuzz::ExactCopy(in_.Slice());
        return {Variant(bytes), bytes};
      }
      case 11: return {Variant(), std::nullopt};
      case 12: return {Variant::Null(), std::nullopt};
      case 13: return {Variant::Object(), std::nullopt};
      case 14: return {Variant::Array(net::vbLong, in_.Below(4)), std::nullopt};
      default: return {Variant::Missing(), std::nullopt};
    }
  }

  void Send() {
    auto [value, layout] = Value();
    bool refused = false;
    try {
      tcp_->SendData(value);
    } catch (const base::RaisedError& e) {
      FUZZ_CHECK(e.Number() == base::kErrUnsupportedType, "SendData raised another error");
      refused = true;
    }
    FUZZ_CHECK(refused == !layout.has_value(), "SendData refused a kind it has a layout for");
    Pump();
    const std::vector<uint8_t> wire = platform_.ClientRead(conn_);
    if (layout) FUZZ_CHECK(wire == *layout, "SendData wrote other bytes");
    FUZZ_CHECK(!refused || wire.empty(), "a refused value was sent");
  }

  // The variable GetData fills, as it stands before the call.
  Variant Target() {
    switch (in_.Below(14)) {
      case 0: return Variant(std::string());
      case 1: return Variant(std::vector<uint8_t>());
      case 2: return Variant(int16_t{0});
      case 3: return Variant(int32_t{0});
      case 4: return Variant(0.0f);
      case 5: return Variant(0.0);
      case 6: return Variant::Currency(0);
      case 7: return Variant::Date(0);
      case 8: return Variant(false);
      case 9: return Variant(uint8_t{0});
      case 10: return Variant::Null();
      default: return Variant();
    }
  }

  std::optional<Variant> Argument(bool length) {
    switch (in_.Below(8)) {
      case 0: return std::nullopt;
      case 1: return Variant::Missing();
      case 2: return Variant("not a number");
      case 3: return Variant(length ? 2.5 : 8.0);
      case 4: return Variant(length ? std::to_string(in_.Byte()) : std::string("&H2011"));
      case 5: {
        static constexpr int32_t kKinds[] = {2, 3, 4, 5, 6, 7, 8, 11, 17, 8209, 9, 0};
        return length ? Variant(static_cast<int32_t>(in_.Byte()) - 8)
                      : Variant(kKinds[in_.Below(std::size(kKinds))]);
      }
      default:
        return Variant(static_cast<int32_t>(static_cast<int16_t>(in_.U16())));
    }
  }

  struct Expected {
    int32_t kind = 0;
    std::optional<int32_t> raised;
    size_t take = 0;       // bytes the call takes (or peeks)
    bool fills = false;    // Data gets a new value
  };

  static bool Given(const std::optional<Variant>& a) { return a && !a->IsMissing(); }

  static int64_t Whole(const Variant& v) {
    const double n = std::nearbyint(v.ToNumber());
    if (n >= 2147483647.0) return 2147483647;
    if (n <= -2147483648.0) return -2147483648LL;
    return static_cast<int64_t>(n);
  }

  // What a call should do with `available` bytes (one datagram on UDP).
  static Expected Predict(const Variant& data, const std::optional<Variant>& varType,
                          const std::optional<Variant>& maxLen, size_t available, bool udp) {
    Expected e;
    e.kind = net::vbByteArray;
    if (!data.IsEmpty()) {
      e.kind = data.Type();
    } else if (Given(varType)) {
      e.kind = varType->IsNumeric() ? static_cast<int32_t>(Whole(*varType)) : net::vbError;
    }
    if (Given(maxLen) && maxLen->IsNumeric() && maxLen->ToNumber() < 0) {
      e.raised = base::kErrBadArgument;
      return e;
    }
    if (e.kind == net::vbString || e.kind == net::vbByteArray) {
      e.fills = true;
      e.take = available;
      if (Given(maxLen)) {
        const int64_t limit = maxLen->IsNumeric() ? Whole(*maxLen) : static_cast<int64_t>(available);
        if (limit == 0 || available == 0) {
          e.take = 0;
          if (udp) e.raised = net::kErrMessageTooLong;
          return e;
        }
        e.take = std::min<size_t>(static_cast<size_t>(limit), available);
      }
    } else if (const size_t k = KindSize(e.kind); k > 0) {
      if (available < k) return e;
      e.fills = true;
      e.take = k;
    } else {
      e.raised = base::kErrUnsupportedType;
      return e;
    }
    if (udp && e.take < available) e.raised = net::kErrMessageTooLong;
    return e;
  }

  static void CheckValue(const Variant& data, const Expected& e, const std::vector<uint8_t>& bytes) {
    FUZZ_CHECK(data.Type() == e.kind, "GetData filled another kind");
    switch (e.kind) {
      case net::vbString:
        FUZZ_CHECK(base::Cp1252::FromUtf8(data.AsString()) == bytes, "text taken");
        break;
      case net::vbByteArray: FUZZ_CHECK(data.AsBytes() == bytes, "bytes taken"); break;
      case net::vbInteger: FUZZ_CHECK(data.AsInteger() == Decode<int16_t>(bytes), "Integer"); break;
      case net::vbLong: FUZZ_CHECK(data.AsLong() == Decode<int32_t>(bytes), "Long"); break;
      case net::vbSingle: FUZZ_CHECK(SameFloat(data.AsSingle(), Decode<float>(bytes)), "Single"); break;
      case net::vbDouble:
      case net::vbDate: FUZZ_CHECK(SameFloat(data.AsDouble(), Decode<double>(bytes)), "Double"); break;
      case net::vbCurrency: FUZZ_CHECK(data.AsCurrencyScaled() == Decode<int64_t>(bytes), "Currency"); break;
      case net::vbBoolean: FUZZ_CHECK(data.AsBoolean() == (Decode<int16_t>(bytes) != 0), "Boolean"); break;
      case net::vbByte: FUZZ_CHECK(data.AsByte() == bytes[0], "Byte"); break;
      default: FUZZ_CHECK(false, "unexpected kind");
    }
  }

  // One GetData or PeekData call on sock and its checks against `available`.
  void Call(net::CNetSocket& sock, const std::vector<uint8_t>& available, bool udp) {
    Variant data = Target();
    std::optional<Variant> varType = Argument(false);
    std::optional<Variant> maxLen = Argument(true);
    const bool peek = in_.Bit();
    const Variant before = data;
    const Expected e = Predict(data, varType, maxLen, available.size(), udp);
    std::optional<int32_t> raised;
    try {
      Variant* vt = varType ? &*varType : nullptr;
      Variant* ml = maxLen ? &*maxLen : nullptr;
      if (peek) {
        sock.PeekData(data, vt, ml);
      } else {
        sock.GetData(data, vt, ml);
      }
    } catch (const base::RaisedError& error) {
      raised = error.Number();
    }
    FUZZ_CHECK(raised == e.raised, "GetData raised another error, or none");
    if (e.fills) {
      CheckValue(data, e, std::vector<uint8_t>(available.begin(), available.begin() + static_cast<std::ptrdiff_t>(e.take)));
    } else {
      FUZZ_CHECK(data == before, "GetData changed a value it should leave");
    }
    if (!before.IsEmpty() && Given(varType) && !e.raised.has_value()) {
      FUZZ_CHECK(*varType == Variant(before.Type()), "varType not set to the variable's kind");
    }
    if (Given(maxLen) && !maxLen->IsNumeric()) FUZZ_CHECK(false, "maxLen left non-numeric");
    taken_ = peek ? 0 : e.take;
  }

  void Take() {
    const std::vector<uint8_t> available(queued_.begin(), queued_.end());
    Call(*tcp_, available, false);
    queued_.erase(queued_.begin(), queued_.begin() + static_cast<std::ptrdiff_t>(taken_));
    FUZZ_CHECK(tcp_->BytesReceived() == static_cast<int32_t>(queued_.size()), "bytes left queued");
  }

  void Datagram() {
    const std::vector<uint8_t> bytes = fuzz::ExactCopy(in_.Slice());
    bool called = false;
    udp_->On().OnDataArrival = [&](int32_t bytesTotal) {
      called = true;
      FUZZ_CHECK(bytesTotal == static_cast<int32_t>(bytes.size()), "datagram size reported");
      Call(*udp_, bytes, true);
    };
    platform_.SendDatagram(kUdpPort, kSender, 4242, bytes);
    Pump();
    udp_->On().OnDataArrival = nullptr;
    FUZZ_CHECK(called == !bytes.empty(), "DataArrival for a datagram");
    // Taken or not, a datagram does not outlive its notification.
    uint32_t pending = 1;
    FUZZ_CHECK(platform_.PendingBytes(udp_->SocketHandle(), &pending) == 0 && pending == 0,
               "a datagram left waiting");
  }

  FuzzInput& in_;
  support::MemoryPlatform platform_;
  net::modNetSocket dispatcher_{platform_, &platform_};
  std::shared_ptr<net::CNetSocket> listener_, tcp_, udp_;
  int conn_ = -1;
  std::deque<uint8_t> queued_;
  size_t taken_ = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzInput in(data, size);
  VariantRun run(in);
  run.Run();
  return 0;
}
