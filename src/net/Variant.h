#pragma once
// The value that SendData takes and GetData/PeekData fill: one of the kinds below,
// known by its type code. Strings are UTF-8 here; the socket layer converts them
// to one byte per character (Windows-1252) at the wire.

#include <cstdint>
#include <string>
#include <variant>
#include <vector>

namespace toruna::net {

enum VarType : int32_t {
  vbEmpty = 0,
  vbNull = 1,
  vbInteger = 2,
  vbLong = 3,
  vbSingle = 4,
  vbDouble = 5,
  vbCurrency = 6,
  vbDate = 7,
  vbString = 8,
  vbObject = 9,
  vbError = 10,  // also marks an optional argument that was not passed
  vbBoolean = 11,
  vbByte = 17,
  vbArray = 8192,
  vbByteArray = 8209,  // vbArray + vbByte
};

class Variant {
 public:
  Variant() = default;  // Empty
  Variant(int16_t v);   // Integer
  Variant(int32_t v);   // Long
  Variant(float v);     // Single
  Variant(double v);    // Double
  Variant(bool v);      // Boolean
  Variant(uint8_t v);   // Byte
  Variant(std::string v);  // String (UTF-8)
  Variant(const char* v);  // String (UTF-8)
  Variant(std::vector<uint8_t> v);  // array of Byte

  static Variant Missing();                 // an optional argument left out
  static Variant Null();
  static Variant Object();                  // stands for any object reference
  static Variant Currency(int64_t scaled);  // value times 10000
  static Variant Date(double oleDate);      // days since 30 December 1899
  static Variant Array(int32_t elementType, size_t count);  // arrays of other kinds

  int32_t Type() const { return type_; }
  bool IsMissing() const { return type_ == vbError && missing_; }
  bool IsEmpty() const { return type_ == vbEmpty; }
  // A number, or a text that reads as one (blanks around it, sign, decimals,
  // exponent, &H and &O prefixes).
  bool IsNumeric() const;
  // The numeric value of a numeric Variant (see IsNumeric); 0 otherwise.
  double ToNumber() const;

  // The value as a kind. Number kinds, Boolean, Empty and numeric text convert,
  // rounding half to even for the integer kinds; a result out of the kind's range
  // raises 6 "Overflow". AsString and AsBytes give an empty value for other kinds.
  int16_t AsInteger() const;
  int32_t AsLong() const;
  float AsSingle() const;
  double AsDouble() const;        // also Date
  int64_t AsCurrencyScaled() const;
  bool AsBoolean() const;
  uint8_t AsByte() const;
  const std::string& AsString() const;
  const std::vector<uint8_t>& AsBytes() const;
  // Makes the value a Byte array (empty unless it was one) and gives its bytes.
  std::vector<uint8_t>& MutableBytes();

  bool operator==(const Variant& other) const = default;

 private:
  int32_t type_ = vbEmpty;
  bool missing_ = false;
  std::variant<std::monostate, int64_t, double, std::string, std::vector<uint8_t>> value_;
};

}  // namespace toruna::net
