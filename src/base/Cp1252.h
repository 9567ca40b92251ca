#pragma once
// Text on the wire is one byte per character in code page Windows-1252; inside the
// program it is UTF-8. Every byte value survives bytes -> text -> bytes: the five
// bytes Windows-1252 leaves unassigned (81, 8D, 8F, 90, 9D) map to the control
// characters of the same value.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace toruna::base {

class Cp1252 {
 public:
  // Bytes to UTF-8 text.
  static std::string ToUtf8(const uint8_t* bytes, size_t count);
  static std::string ToUtf8(std::string_view bytes);
  // UTF-8 text to bytes; a character the code page lacks becomes '?', and so does
  // a malformed UTF-8 sequence.
  static std::vector<uint8_t> FromUtf8(std::string_view text);
  static std::string FromUtf8AsString(std::string_view text);
  // Number of bytes the text takes on the wire.
  static size_t ByteLength(std::string_view text);
};

}  // namespace toruna::base
