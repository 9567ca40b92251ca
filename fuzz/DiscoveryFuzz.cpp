// The discovery request: datagrams of any content from any sender reach the
// server's UDP socket on 9666, with none, one or two clients registered.
// Input: one byte for the number of registered clients (0 to 2), then
// datagrams, each a header byte (bit 0: a long datagram with a 16-bit size),
// the sender's address and port, and the bytes.
// Checked against a reading of its own: the port text between the first "?"
// and the next "!" reads as the same number (blanks, tabs and line feeds
// skipped; sign, decimals, exponent; &H and &O), and a reply goes out exactly
// when that number rounds to a port from 1 to 65535 (port 0 cannot be sent to
// and puts the socket in error until the next tick), from 9666 to the sender's
// address at that port, holding "***", the name, 0, the count and 0.

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "FuzzServer.h"
#include "protocol/Frame.h"
#include "server/NumericText.h"

using namespace toruna;
using fuzz::FuzzInput;

namespace {

constexpr uint32_t kLoopback = 0x0100007F;

std::string Compact(const std::vector<uint8_t>& bytes) {
  std::string s;
  for (uint8_t b : bytes) {
    if (b != ' ' && b != '\t' && b != '\n') s.push_back(static_cast<char>(b));
  }
  return s;
}

// The C library reads the decimal forms; what it accepts beyond them (hexadecimal
// floats, inf, nan, other leading white space) reads as 0 here.
double ReferenceRead(const std::string& s) {
  if (s.size() >= 2 && s[0] == '&') {
    int radix = 0;
    if (s[1] == 'H' || s[1] == 'h') radix = 16;
    if (s[1] == 'O' || s[1] == 'o') radix = 8;
    double value = 0;
    for (size_t i = 2; radix != 0 && i < s.size(); ++i) {
      const char c = s[i];
      int d = -1;
      if (c >= '0' && c <= '9') d = c - '0';
      if (c >= 'a' && c <= 'f') d = c - 'a' + 10;
      if (c >= 'A' && c <= 'F') d = c - 'A' + 10;
      if (d < 0 || d >= radix) break;
      value = value * radix + d;
    }
    return value;
  }
  size_t i = 0;
  if (i < s.size() && (s[i] == '+' || s[i] == '-')) ++i;
  if (i >= s.size() || !((s[i] >= '0' && s[i] <= '9') || s[i] == '.')) return 0;
  if (s[i] == '0' && i + 1 < s.size() && (s[i + 1] == 'x' || s[i + 1] == 'X')) return 0;
  return std::strtod(s.c_str(), nullptr);
}

// The port a request asks to be answered at; nullopt when no reply may go out.
std::optional<uint16_t> ExpectedPort(const std::vector<uint8_t>& datagram) {
  size_t start = 0;
  while (start < datagram.size() && datagram[start] != '?') ++start;
  if (start == datagram.size()) return std::nullopt;
  size_t end = start + 1;
  while (end < datagram.size() && datagram[end] != '!') ++end;
  if (end == datagram.size()) return std::nullopt;

  const std::vector<uint8_t> portText(datagram.begin() + static_cast<std::ptrdiff_t>(start + 1),
                                      datagram.begin() + static_cast<std::ptrdiff_t>(end));
  const std::string compact = Compact(portText);
  const double expected = ReferenceRead(compact);
  const double read = server::NumericText::Read(
      std::string(portText.begin(), portText.end()));
  FUZZ_CHECK(read == expected || (std::isnan(read) && std::isnan(expected)),
             "the port text reads as another number");

  const double rounded = std::nearbyint(expected);
  if (!(rounded >= 1 && rounded <= 65535)) return std::nullopt;
  return static_cast<uint16_t>(rounded);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/) {
  fuzz::InstallFailingAlerts();
  fuzz::SettingsPath();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzInput in(data, size);
  fuzz::FuzzServer rig;
  const size_t registered = in.Below(3);
  for (size_t i = 0; i < registered; ++i) {
    const int conn = rig.platform.ConnectClient(13131);
    const uint8_t name[] = {static_cast<uint8_t>('a' + i)};
    rig.platform.ClientSend(conn, protocol::frames::ClientInfoRequest(name));
  }
  rig.Pump();
  FUZZ_CHECK(rig.form->colClients.Count() == static_cast<int32_t>(registered),
             "clients did not register");
  std::string reply = std::string("***") + fuzz::kServerName;
  reply.push_back('\0');
  reply += std::to_string(registered);
  reply.push_back('\0');

  while (!in.Empty()) {
    const uint8_t header = in.Byte();
    uint32_t from = in.U32();
    if (from == 0xFFFFFFFF || from == 0) from = kLoopback;  // no datagram comes from these
    const uint16_t fromPort = in.U16();
    const size_t n = (header & 1) ? in.U16() & 0x1FFF : in.Byte();
    const std::vector<uint8_t> datagram = fuzz::ExactCopy(in.Take(n));

    rig.platform.sent.clear();
    FUZZ_CHECK(rig.platform.SendDatagram(9666, from, fromPort, datagram), "nobody on 9666");
    rig.Pump();
    const std::optional<uint16_t> port = ExpectedPort(datagram);
    if (!port) {
      FUZZ_CHECK(rig.platform.sent.empty(), "a reply to a request that asks for none");
    } else {
      FUZZ_CHECK(rig.platform.sent.size() == 1, "no single reply to a request");
      const auto& sent = rig.platform.sent.front();
      FUZZ_CHECK(sent.fromPort == 9666 && sent.addr == from && sent.port == *port,
                 "the reply went elsewhere");
      FUZZ_CHECK(std::string(sent.bytes.begin(), sent.bytes.end()) == reply, "reply bytes");
    }
    // A refused send (port 0) leaves the socket in error until the timer recovers it.
    rig.form->tmrMain_Timer();
    rig.Pump();
  }
  return 0;
}
