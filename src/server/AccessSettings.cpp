#include "server/AccessSettings.h"

#include <arpa/inet.h>

#include "server/clsSettings.h"

namespace toruna::server {

namespace {

constexpr uint32_t Address(uint32_t a, uint32_t b, uint32_t c, uint32_t d) {
  return (a << 24) | (b << 16) | (c << 8) | d;
}

constexpr uint32_t MaskOf(int bits) { return bits == 0 ? 0 : ~uint32_t{0} << (32 - bits); }

// Loopback, link-local, RFC 1918 and the carriers' shared range (RFC 6598).
const std::vector<AccessSettings::Range>& LocalRanges() {
  static const std::vector<AccessSettings::Range> ranges = {
      {Address(127, 0, 0, 0), MaskOf(8)},    {Address(169, 254, 0, 0), MaskOf(16)},
      {Address(10, 0, 0, 0), MaskOf(8)},     {Address(172, 16, 0, 0), MaskOf(12)},
      {Address(192, 168, 0, 0), MaskOf(16)}, {Address(100, 64, 0, 0), MaskOf(10)},
  };
  return ranges;
}

std::string Trimmed(const std::string& s) {
  const size_t first = s.find_first_not_of(" \t\r");
  if (first == std::string::npos) return {};
  return s.substr(first, s.find_last_not_of(" \t\r") - first + 1);
}

}  // namespace

bool AccessSettings::ParseAddress(const std::string& text, uint32_t& address) {
  in_addr parsed{};
  // inet_pton takes only the four-part dotted form, no octal or short forms.
  if (inet_pton(AF_INET, text.c_str(), &parsed) != 1) return false;
  address = ntohl(parsed.s_addr);
  return true;
}

std::vector<AccessSettings::Range> AccessSettings::ParseRanges(const std::string& text,
                                                               std::vector<std::string>& problems) {
  std::vector<Range> ranges;
  std::string item;
  auto take = [&] {
    if (item.empty()) return;
    if (item == "any") {
      ranges.push_back({0, 0});
    } else if (item == "local") {
      ranges.insert(ranges.end(), LocalRanges().begin(), LocalRanges().end());
    } else {
      const size_t slash = item.find('/');
      int bits = 32;
      bool good = true;
      if (slash != std::string::npos) {
        const std::string digits = item.substr(slash + 1);
        good = !digits.empty() && digits.size() <= 2 &&
               digits.find_first_not_of("0123456789") == std::string::npos;
        if (good) bits = std::stoi(digits);
        good = good && bits <= 32;
      }
      uint32_t address = 0;
      good = good && ParseAddress(item.substr(0, slash), address);
      if (good) {
        ranges.push_back({address & MaskOf(bits), MaskOf(bits)});
      } else {
        problems.push_back("AllowFrom: \"" + item +
                           "\" is no address, range (a.b.c.d/n), \"local\" or \"any\"; it is left out");
      }
    }
    item.clear();
  };
  for (char c : text) {
    if (c == ',' || c == ' ' || c == '\t' || c == '\r') {
      take();
    } else {
      item.push_back(c);
    }
  }
  take();
  return ranges;
}

AccessSettings AccessSettings::Read(const clsSettings& settings, const std::string& defaultAllowFrom) {
  AccessSettings result;
  result.ranges_.clear();
  const std::string allow = Trimmed(settings.RegString("AllowFrom"));
  if (!allow.empty()) result.ranges_ = ParseRanges(allow, result.problems_);
  if (result.ranges_.empty()) {
    std::vector<std::string> ignored;
    result.ranges_ = ParseRanges(defaultAllowFrom, ignored);
    if (!allow.empty()) {
      result.problems_.push_back("AllowFrom names no range that can be used; \"" + defaultAllowFrom +
                                 "\" is used");
    }
  }

  const std::string listen = Trimmed(settings.RegString("Listen"));
  uint32_t address = 0;
  if (listen.empty()) {
    // every address
  } else if (ParseAddress(listen, address)) {
    result.listen_ = listen;
  } else {
    result.problems_.push_back("Listen=" + listen +
                               " in the settings file is no IPv4 address; every address is used");
  }
  return result;
}

bool AccessSettings::Allows(uint32_t address) const {
  for (const Range& range : ranges_) {
    if ((address & range.mask) == range.network) return true;
  }
  return false;
}

bool AccessSettings::Allows(const std::string& dotted) const {
  uint32_t address = 0;
  return ParseAddress(dotted, address) && Allows(address);
}

bool AccessSettings::AllowsAll() const {
  for (const Range& range : ranges_) {
    if (range.mask == 0) return true;
  }
  return false;
}

}  // namespace toruna::server
