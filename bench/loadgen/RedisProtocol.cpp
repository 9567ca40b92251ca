#include "RedisProtocol.h"

#include <cstring>
#include <string>
#include <string_view>

namespace loadgen {
namespace {

constexpr std::string_view kTopic = "t";

void AppendCommand(Connection& c, std::initializer_list<std::string_view> words) {
  // Appended piece by piece: GCC 12 warns falsely on `"*" + std::to_string(...)`.
  std::string s(1, '*');
  s += std::to_string(words.size());
  s += "\r\n";
  for (std::string_view w : words) {
    s += '$';
    s += std::to_string(w.size());
    s += "\r\n";
    s += w;
    s += "\r\n";
  }
  c.Append(s);
}

enum class Got { Value, More, Bad };

// One line ending in CRLF from data[pos]; `end` is past the CRLF.
Got Line(const uint8_t* data, size_t n, size_t pos, std::string_view& line, size_t& end) {
  const void* cr = memchr(data + pos, '\r', n - pos);
  if (!cr) return Got::More;
  const size_t at = static_cast<size_t>(static_cast<const uint8_t*>(cr) - data);
  if (at + 1 >= n) return Got::More;
  if (data[at + 1] != '\n') return Got::Bad;
  line = std::string_view(reinterpret_cast<const char*>(data + pos), at - pos);
  end = at + 2;
  return Got::Value;
}

bool Number(std::string_view s, long& v) {
  if (s.empty()) return false;
  bool neg = s[0] == '-';
  if (neg) s.remove_prefix(1);
  if (s.empty()) return false;
  v = 0;
  for (char ch : s) {
    if (ch < '0' || ch > '9') return false;
    v = v * 10 + (ch - '0');
  }
  if (neg) v = -v;
  return true;
}

// One value that is not an array (simple string, integer, bulk string) from
// data[pos]; its text in `text`, `end` past it. Errors are Bad.
Got Scalar(const uint8_t* data, size_t n, size_t pos, std::string_view& text, size_t& end) {
  if (pos >= n) return Got::More;
  std::string_view line;
  Got g = Line(data, n, pos, line, end);
  if (g != Got::Value) return g;
  if (line.empty()) return Got::Bad;
  const char type = line[0];
  line.remove_prefix(1);
  if (type == '+' || type == ':') {
    text = line;
    return Got::Value;
  }
  if (type != '$') return Got::Bad;  // '-': an error, or a type we never ask for
  long size = 0;
  if (!Number(line, size) || size < 0) return Got::Bad;
  const size_t at = end;
  if (n - at < static_cast<size_t>(size) + 2) return Got::More;
  if (data[at + size] != '\r' || data[at + size + 1] != '\n') return Got::Bad;
  text = std::string_view(reinterpret_cast<const char*>(data + at), static_cast<size_t>(size));
  end = at + static_cast<size_t>(size) + 2;
  return Got::Value;
}

}  // namespace

void RedisProtocol::Start(Connection& c) { c.Append("PING\r\n"); }

void RedisProtocol::Subscribe(Connection& c) { AppendCommand(c, {"SUBSCRIBE", kTopic}); }

// What a departing client leaves behind: a subscription to a channel of its own.
void RedisProtocol::Own(Connection& c) {
  std::string channel(1, 'o');
  channel += std::to_string(c.index);
  AppendCommand(c, {"SUBSCRIBE", channel});
}

void RedisProtocol::Publish(Connection& c, uint8_t value) {
  const char v = static_cast<char>(value);
  AppendCommand(c, {"PUBLISH", kTopic, std::string_view(&v, 1)});
}

long RedisProtocol::Parse(Connection& c, const uint8_t* data, size_t n, SignalSink& sink) {
  size_t pos = 0;
  while (pos < n) {
    size_t end = 0;
    if (data[pos] != '*') {
      std::string_view text;
      const Got g = Scalar(data, n, pos, text, end);
      if (g == Got::Bad) return -1;
      if (g == Got::More) break;
      if (text == "PONG" && !c.registered) sink.OnSignal(c, Signal::Registered, 0);
      pos = end;  // PUBLISH's receiver count and anything else: nothing to do
      continue;
    }
    std::string_view line;
    Got g = Line(data, n, pos, line, end);
    if (g == Got::Bad) return -1;
    if (g == Got::More) break;
    long count = 0;
    if (!Number(line.substr(1), count) || count != 3) return -1;
    std::string_view item[3];
    for (int i = 0; i < 3 && g == Got::Value; ++i) g = Scalar(data, n, end, item[i], end);
    if (g == Got::Bad) return -1;
    if (g == Got::More) break;
    if (item[0] == "message") {
      if (item[1] != kTopic || item[2].size() != 1) return -1;
      sink.OnSignal(c, Signal::Delivery, static_cast<uint8_t>(item[2][0]));
    } else if (item[0] == "subscribe") {
      sink.OnSignal(c, item[1] == kTopic ? Signal::Subscribed : Signal::Owned, 0);
    }
    pos = end;
  }
  return static_cast<long>(pos);
}

}  // namespace loadgen
