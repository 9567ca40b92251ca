#include "net/Variant.h"

#include <cmath>
#include <limits>
#include <optional>
#include <string_view>

#include "base/DecimalText.h"
#include "base/RaisedError.h"

namespace toruna::net {

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// &H and &O literals take the smallest of 16 or 32 bits that holds them and are
// read as signed there, so &HFFFF is -1 and &H10000 is 65536.
std::optional<double> ParseRadix(std::string_view digits, int radix) {
  if (digits.empty()) return std::nullopt;
  uint64_t value = 0;
  for (char c : digits) {
    int d = HexDigit(c);
    if (d < 0 || d >= radix) return std::nullopt;
    value = value * radix + d;
    if (value > 0xFFFFFFFFull) return std::nullopt;
  }
  if (value <= 0xFFFF) return static_cast<double>(static_cast<int16_t>(value));
  return static_cast<double>(static_cast<int32_t>(static_cast<uint32_t>(value)));
}

// Decimal: sign, digits with an optional point and fraction (at least one digit
// in all), optional exponent introduced by E or D.
std::optional<double> ParseDecimal(std::string_view s) {
  std::string normal;
  normal.reserve(s.size());
  size_t i = 0;
  if (i < s.size() && (s[i] == '+' || s[i] == '-')) normal.push_back(s[i++]);
  size_t digits = 0;
  while (i < s.size() && IsDigit(s[i])) normal.push_back(s[i++]), ++digits;
  if (i < s.size() && s[i] == '.') {
    normal.push_back(s[i++]);
    while (i < s.size() && IsDigit(s[i])) normal.push_back(s[i++]), ++digits;
  }
  if (digits == 0) return std::nullopt;
  if (i < s.size() && (s[i] == 'e' || s[i] == 'E' || s[i] == 'd' || s[i] == 'D')) {
    normal.push_back('e');
    ++i;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) normal.push_back(s[i++]);
    size_t expDigits = 0;
    while (i < s.size() && IsDigit(s[i])) normal.push_back(s[i++]), ++expDigits;
    if (expDigits == 0) return std::nullopt;
  }
  if (i != s.size()) return std::nullopt;
  const double value = base::ReadDecimal(normal);
  if (!std::isfinite(value)) return std::nullopt;  // too large for any number kind
  return value;
}

std::optional<double> ParseNumber(std::string_view s) {
  while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
  while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
  if (s.size() >= 2 && s[0] == '&') {
    if (s[1] == 'h' || s[1] == 'H') return ParseRadix(s.substr(2), 16);
    if (s[1] == 'o' || s[1] == 'O') return ParseRadix(s.substr(2), 8);
    return std::nullopt;
  }
  return ParseDecimal(s);
}

// Integer conversions round half to even and refuse what does not fit, as the
// language the owners were written in does.
int64_t RoundChecked(double value, double low, double high) {
  double r = std::nearbyint(value);
  if (!(r >= low && r <= high)) throw base::RaisedError(base::kErrOverflow, "", base::kTextOverflow);
  return static_cast<int64_t>(r);
}

const std::string kNoText;
const std::vector<uint8_t> kNoBytes;

}  // namespace

Variant::Variant(int16_t v) : type_(vbInteger), value_(int64_t{v}) {}
Variant::Variant(int32_t v) : type_(vbLong), value_(int64_t{v}) {}
Variant::Variant(float v) : type_(vbSingle), value_(double{v}) {}
Variant::Variant(double v) : type_(vbDouble), value_(v) {}
Variant::Variant(bool v) : type_(vbBoolean), value_(int64_t{v ? -1 : 0}) {}
Variant::Variant(uint8_t v) : type_(vbByte), value_(int64_t{v}) {}
Variant::Variant(std::string v) : type_(vbString), value_(std::move(v)) {}
Variant::Variant(const char* v) : type_(vbString), value_(std::string(v ? v : "")) {}
Variant::Variant(std::vector<uint8_t> v) : type_(vbByteArray), value_(std::move(v)) {}

Variant Variant::Missing() {
  Variant v;
  v.type_ = vbError;
  v.missing_ = true;
  return v;
}

Variant Variant::Null() {
  Variant v;
  v.type_ = vbNull;
  return v;
}

Variant Variant::Object() {
  Variant v;
  v.type_ = vbObject;
  return v;
}

Variant Variant::Currency(int64_t scaled) {
  Variant v;
  v.type_ = vbCurrency;
  v.value_ = scaled;
  return v;
}

Variant Variant::Date(double oleDate) {
  Variant v;
  v.type_ = vbDate;
  v.value_ = oleDate;
  return v;
}

Variant Variant::Array(int32_t elementType, size_t count) {
  Variant v;
  v.type_ = vbArray | elementType;
  if (elementType == vbByte) {
    v.value_ = std::vector<uint8_t>(count);
  } else {
    v.value_ = static_cast<int64_t>(count);  // only the element count is kept
  }
  return v;
}

bool Variant::IsNumeric() const {
  switch (type_) {
    case vbEmpty:
    case vbInteger:
    case vbLong:
    case vbSingle:
    case vbDouble:
    case vbCurrency:
    case vbBoolean:
    case vbByte:
      return true;
    case vbString:
      return ParseNumber(std::get<std::string>(value_)).has_value();
    default:
      return false;
  }
}

double Variant::ToNumber() const {
  switch (type_) {
    case vbInteger:
    case vbLong:
    case vbBoolean:
    case vbByte:
      return static_cast<double>(std::get<int64_t>(value_));
    case vbCurrency:
      return static_cast<double>(std::get<int64_t>(value_)) / 10000.0;
    case vbSingle:
    case vbDouble:
      return std::get<double>(value_);
    case vbString:
      return ParseNumber(std::get<std::string>(value_)).value_or(0.0);
    default:
      return 0.0;
  }
}

int16_t Variant::AsInteger() const {
  if (type_ == vbInteger) return static_cast<int16_t>(std::get<int64_t>(value_));
  return static_cast<int16_t>(RoundChecked(AsDouble(), -32768.0, 32767.0));
}

int32_t Variant::AsLong() const {
  if (type_ == vbLong) return static_cast<int32_t>(std::get<int64_t>(value_));
  return static_cast<int32_t>(RoundChecked(AsDouble(), -2147483648.0, 2147483647.0));
}

float Variant::AsSingle() const { return static_cast<float>(AsDouble()); }

double Variant::AsDouble() const {
  if (type_ == vbDate) return std::get<double>(value_);
  return ToNumber();
}

int64_t Variant::AsCurrencyScaled() const {
  if (type_ == vbCurrency) return std::get<int64_t>(value_);
  // The largest doubles that still fit a signed 64-bit value.
  return RoundChecked(AsDouble() * 10000.0, -9223372036854775808.0, 9223372036854774784.0);
}

bool Variant::AsBoolean() const { return AsDouble() != 0.0; }

uint8_t Variant::AsByte() const {
  if (type_ == vbByte) return static_cast<uint8_t>(std::get<int64_t>(value_));
  return static_cast<uint8_t>(RoundChecked(AsDouble(), 0.0, 255.0));
}

const std::string& Variant::AsString() const {
  if (type_ == vbString) return std::get<std::string>(value_);
  return kNoText;
}

const std::vector<uint8_t>& Variant::AsBytes() const {
  if (type_ == vbByteArray) return std::get<std::vector<uint8_t>>(value_);
  return kNoBytes;
}

std::vector<uint8_t>& Variant::MutableBytes() {
  if (type_ != vbByteArray) {
    type_ = vbByteArray;
    missing_ = false;
    value_ = std::vector<uint8_t>();
  }
  return std::get<std::vector<uint8_t>>(value_);
}

}  // namespace toruna::net
