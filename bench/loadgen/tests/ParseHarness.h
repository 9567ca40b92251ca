#pragma once
// Feeds a protocol parser the way the generator does (append, parse, drop what
// was consumed), in chunks of any size, and records the signals it raises and
// the names of the clients it is told of and how many it is told have gone.

#include <string>
#include <string_view>
#include <vector>

#include "Protocol.h"

namespace loadgen::test {

struct Recorded {
  Signal signal;
  uint8_t value;
  bool operator==(const Recorded&) const = default;
};

class ParseHarness : public SignalSink {
 public:
  explicit ParseHarness(Protocol& p) : proto_(p) {}
  void OnSignal(Connection&, Signal s, uint8_t value) override { got.push_back({s, value}); }
  void OnAnnounced(Connection&, std::string_view name) override { announced.emplace_back(name); }
  void OnGone(Connection&) override { ++gone; }

  // False when the parser rejected the bytes.
  bool Feed(const std::vector<uint8_t>& bytes, size_t chunk) {
    for (size_t at = 0; at < bytes.size(); at += chunk) {
      const size_t n = std::min(chunk, bytes.size() - at);
      conn.in.insert(conn.in.end(), bytes.begin() + at, bytes.begin() + at + n);
      long used = proto_.Parse(conn, conn.in.data(), conn.in.size(), *this);
      if (used < 0) return false;
      conn.in.erase(conn.in.begin(), conn.in.begin() + used);
    }
    return true;
  }
  std::string Written() const {
    return std::string(conn.out.begin() + conn.outOff, conn.out.end());
  }

  Connection conn;
  std::vector<Recorded> got;
  std::vector<std::string> announced;
  int gone = 0;

 private:
  Protocol& proto_;
};

inline std::vector<uint8_t> Bytes(std::initializer_list<int> list) {
  std::vector<uint8_t> v;
  for (int b : list) v.push_back(static_cast<uint8_t>(b));
  return v;
}
inline std::vector<uint8_t> Bytes(const std::string& s) { return {s.begin(), s.end()}; }
inline std::vector<uint8_t> Cat(std::vector<uint8_t> a, const std::vector<uint8_t>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

}  // namespace loadgen::test
