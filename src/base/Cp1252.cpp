#include "base/Cp1252.h"

#include <array>

namespace toruna::base {

namespace {

// Code points of the bytes 80 to 9F. The five bytes the code page leaves
// unassigned stand for the control characters of the same value, so that every
// byte comes back unchanged.
constexpr std::array<char32_t, 32> kHighControls = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,  // 80-87
    0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F,  // 88-8F
    0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,  // 90-97
    0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178,  // 98-9F
};

constexpr uint8_t kUnmappable = '?';

char32_t CodePointOf(uint8_t byte) {
  if (byte >= 0x80 && byte <= 0x9F) return kHighControls[byte - 0x80];
  return byte;
}

uint8_t ByteOf(char32_t cp) {
  if (cp < 0x80 || (cp >= 0xA0 && cp <= 0xFF)) return static_cast<uint8_t>(cp);
  for (size_t i = 0; i < kHighControls.size(); ++i) {
    if (kHighControls[i] == cp) return static_cast<uint8_t>(0x80 + i);
  }
  return kUnmappable;
}

void AppendUtf8(char32_t cp, std::string& out) {
  if (cp < 0x80) {
    out.push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

// Decodes one character at text[i] and advances i. A malformed sequence
// (bad lead, missing continuation, overlong form, surrogate, beyond U+10FFFF)
// gives U+FFFD and skips its first byte only.
char32_t NextCodePoint(std::string_view text, size_t& i) {
  auto at = [&](size_t k) { return static_cast<uint8_t>(text[k]); };
  uint8_t lead = at(i);
  size_t extra;
  char32_t cp;
  char32_t minimum;
  if (lead < 0x80) {
    ++i;
    return lead;
  } else if ((lead & 0xE0) == 0xC0) {
    extra = 1, cp = lead & 0x1F, minimum = 0x80;
  } else if ((lead & 0xF0) == 0xE0) {
    extra = 2, cp = lead & 0x0F, minimum = 0x800;
  } else if ((lead & 0xF8) == 0xF0) {
    extra = 3, cp = lead & 0x07, minimum = 0x10000;
  } else {
    ++i;
    return 0xFFFD;
  }
  if (text.size() - i - 1 < extra) {  // the sequence is cut off
    ++i;
    return 0xFFFD;
  }
  for (size_t k = 1; k <= extra; ++k) {
    uint8_t b = at(i + k);
    if ((b & 0xC0) != 0x80) {
      ++i;
      return 0xFFFD;
    }
    cp = (cp << 6) | (b & 0x3F);
  }
  if (cp < minimum || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
    ++i;
    return 0xFFFD;
  }
  i += extra + 1;
  return cp;
}

}  // namespace

std::string Cp1252::ToUtf8(const uint8_t* bytes, size_t count) {
  std::string out;
  out.reserve(count);
  for (size_t i = 0; i < count; ++i) AppendUtf8(CodePointOf(bytes[i]), out);
  return out;
}

std::string Cp1252::ToUtf8(std::string_view bytes) {
  return ToUtf8(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
}

std::vector<uint8_t> Cp1252::FromUtf8(std::string_view text) {
  std::vector<uint8_t> out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size();) out.push_back(ByteOf(NextCodePoint(text, i)));
  return out;
}

std::string Cp1252::FromUtf8AsString(std::string_view text) {
  std::vector<uint8_t> bytes = FromUtf8(text);
  return std::string(bytes.begin(), bytes.end());
}

size_t Cp1252::ByteLength(std::string_view text) {
  size_t count = 0;
  for (size_t i = 0; i < text.size(); ++count) NextCodePoint(text, i);
  return count;
}

}  // namespace toruna::base
