#include "base/DecimalText.h"

#include <charconv>
#include <cmath>
#include <limits>
#include <system_error>

namespace toruna::base {

namespace {

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// For a text from_chars found out of range: whether it is too large (rather than
// too small). That depends only on where its first significant digit stands.
bool TooLarge(std::string_view s) {
  long long position = 0;  // decimal exponent of the first significant digit, plus one
  bool significant = false;
  bool afterPoint = false;
  size_t i = 0;
  for (; i < s.size() && s[i] != 'e' && s[i] != 'E'; ++i) {
    if (s[i] == '.') {
      afterPoint = true;
    } else if (IsDigit(s[i])) {
      if (!significant && s[i] != '0') significant = true;
      if (significant && !afterPoint) ++position;
      if (!significant && afterPoint) --position;
    }
  }
  if (!significant) return false;
  long long exponent = 0;
  bool negative = false;
  if (i < s.size()) {
    ++i;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) negative = s[i++] == '-';
    for (; i < s.size() && IsDigit(s[i]); ++i) {
      if (exponent < 1000000000) exponent = exponent * 10 + (s[i] - '0');
    }
  }
  return position + (negative ? -exponent : exponent) > 0;
}

}  // namespace

double ReadDecimal(std::string_view text) {
  bool negative = false;
  if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
    negative = text.front() == '-';
    text.remove_prefix(1);
    if (!text.empty() && (text.front() == '+' || text.front() == '-')) return 0;
  }
  double value = 0;
  const auto [end, ec] =
      std::from_chars(text.data(), text.data() + text.size(), value, std::chars_format::general);
  if (ec == std::errc::result_out_of_range) {
    value = TooLarge(text) ? std::numeric_limits<double>::infinity() : 0.0;
  } else if (ec != std::errc() || end != text.data() + text.size()) {
    value = 0;
  }
  return negative ? -value : value;
}

}  // namespace toruna::base
