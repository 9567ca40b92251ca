#pragma once
// Reading a number out of free text the way the discovery port and the numeric
// settings are read: blanks, tabs and line feeds anywhere are skipped, then an
// optional sign, digits, decimals and an exponent, or &H / &O for hexadecimal
// and octal. Reading stops at the first character that cannot continue the
// number; a text without a number reads as 0.

#include <cstdint>
#include <string>
#include <string_view>

namespace toruna::server {

class NumericText {
 public:
  static double Read(std::string_view text);

  // The nearest signed 32-bit integer, halves to the even neighbour. Outside the
  // range (or not a number) raises 6 "Overflow" with the given source.
  static int32_t RoundToLong(double value, const std::string& source);

  // Read then RoundToLong.
  static int32_t ReadLong(std::string_view text, const std::string& source);
};

}  // namespace toruna::server
