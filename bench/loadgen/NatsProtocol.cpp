#include "NatsProtocol.h"

#include <cstring>
#include <string_view>

namespace loadgen {
namespace {

constexpr std::string_view kConnect =
    "CONNECT {\"verbose\":false,\"pedantic\":false,\"tls_required\":false,"
    "\"name\":\"loadgen\",\"lang\":\"c++\",\"version\":\"1.0\",\"protocol\":1,"
    "\"echo\":false}\r\nPING\r\n";

bool StartsWith(std::string_view line, std::string_view word) {
  return line.size() >= word.size() && line.compare(0, word.size(), word) == 0;
}

// The last space-separated field of a MSG line is the payload size.
bool PayloadSize(std::string_view line, size_t& size) {
  const size_t sp = line.rfind(' ');
  if (sp == std::string_view::npos || sp + 1 == line.size()) return false;
  size = 0;
  for (char ch : line.substr(sp + 1)) {
    if (ch < '0' || ch > '9') return false;
    size = size * 10 + static_cast<size_t>(ch - '0');
  }
  return true;
}

}  // namespace

void NatsProtocol::Subscribe(Connection& c) { c.Append("SUB t 1\r\nPING\r\n"); }

void NatsProtocol::Own(Connection& c) {
  c.Append("SUB o" + std::to_string(c.index) + " 2\r\nPING\r\n");
  c.phase = 4;
}

void NatsProtocol::Publish(Connection& c, uint8_t value) {
  char p[] = "PUB t 1\r\nX\r\n";
  p[9] = static_cast<char>(value);
  c.Append(p, sizeof p - 1);
}

void NatsProtocol::OnPong(Connection& c, SignalSink& sink) {
  if (c.phase == 1 || c.phase == 2 || c.phase == 4) ++c.phase;
  if (c.phase == 2 && !c.registered) sink.OnSignal(c, Signal::Registered, 0);
  else if (c.phase == 3 && !c.subscribed) sink.OnSignal(c, Signal::Subscribed, 0);
  else if (c.phase == 5) sink.OnSignal(c, Signal::Owned, 0);
}

long NatsProtocol::Parse(Connection& c, const uint8_t* data, size_t n, SignalSink& sink) {
  size_t pos = 0;
  while (pos < n) {
    const char* start = reinterpret_cast<const char*>(data + pos);
    const void* cr = memchr(start, '\r', n - pos);
    if (!cr) break;
    const size_t lineLen = static_cast<size_t>(static_cast<const char*>(cr) - start);
    if (pos + lineLen + 2 > n) break;  // the '\n' has not arrived yet
    if (start[lineLen + 1] != '\n') return -1;
    const std::string_view line(start, lineLen);
    const size_t after = pos + lineLen + 2;
    if (StartsWith(line, "MSG ")) {
      size_t size = 0;
      if (!PayloadSize(line, size) || size == 0) return -1;
      if (after + size + 2 > n) break;
      sink.OnSignal(c, Signal::Delivery, data[after]);
      pos = after + size + 2;
      continue;
    }
    if (StartsWith(line, "PING")) {
      c.Append("PONG\r\n");
    } else if (StartsWith(line, "PONG")) {
      OnPong(c, sink);
    } else if (StartsWith(line, "INFO")) {
      if (c.phase == 0) {
        c.Append(kConnect);
        c.phase = 1;
      }
    } else if (StartsWith(line, "-ERR")) {
      return -1;
    }  // "+OK" and anything else: nothing to do
    pos = after;
  }
  return static_cast<long>(pos);
}

}  // namespace loadgen
