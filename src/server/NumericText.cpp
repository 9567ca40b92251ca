#include "server/NumericText.h"

#include <cmath>

#include "base/DecimalText.h"
#include "base/RaisedError.h"

namespace toruna::server {

namespace {

bool Skipped(char c) { return c == ' ' || c == '\t' || c == '\n'; }

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

int HexValue(char c) {
  if (IsDigit(c)) return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// The characters that count, in order, with the blanks taken out.
std::string Compact(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    if (!Skipped(c)) out.push_back(c);
  }
  return out;
}

double ReadRadix(const std::string& s, size_t pos, int radix) {
  double value = 0;
  for (; pos < s.size(); ++pos) {
    int d = HexValue(s[pos]);
    if (d < 0 || d >= radix) break;
    value = value * radix + d;
  }
  return value;
}

}  // namespace

double NumericText::Read(std::string_view text) {
  const std::string s = Compact(text);
  if (s.size() >= 2 && s[0] == '&') {
    if (s[1] == 'H' || s[1] == 'h') return ReadRadix(s, 2, 16);
    if (s[1] == 'O' || s[1] == 'o') return ReadRadix(s, 2, 8);
    return 0;
  }

  // Collect the longest prefix that forms a number, then convert it (the point is
  // the decimal mark whatever the locale).
  std::string number;
  size_t i = 0;
  if (i < s.size() && (s[i] == '+' || s[i] == '-')) number.push_back(s[i++]);
  bool digits = false;
  while (i < s.size() && IsDigit(s[i])) {
    number.push_back(s[i++]);
    digits = true;
  }
  if (i < s.size() && s[i] == '.') {
    number.push_back(s[i++]);
    while (i < s.size() && IsDigit(s[i])) {
      number.push_back(s[i++]);
      digits = true;
    }
  }
  if (!digits) return 0;
  if (i < s.size() && (s[i] == 'E' || s[i] == 'e')) {
    size_t j = i + 1;
    std::string exponent = "e";
    if (j < s.size() && (s[j] == '+' || s[j] == '-')) exponent.push_back(s[j++]);
    bool expDigits = false;
    while (j < s.size() && IsDigit(s[j])) {
      exponent.push_back(s[j++]);
      expDigits = true;
    }
    // "5E" or "5E-" is the number 5 followed by text that cannot continue it.
    if (expDigits) number += exponent;
  }
  return base::ReadDecimal(number);
}

int32_t NumericText::RoundToLong(double value, const std::string& source) {
  // nearbyint follows the default rounding mode: to nearest, ties to even.
  const double rounded = std::nearbyint(value);
  if (!(rounded >= -2147483648.0 && rounded <= 2147483647.0)) {
    throw base::RaisedError(base::kErrOverflow, source, base::kTextOverflow);
  }
  return static_cast<int32_t>(rounded);
}

int32_t NumericText::ReadLong(std::string_view text, const std::string& source) {
  return RoundToLong(Read(text), source);
}

}  // namespace toruna::server
