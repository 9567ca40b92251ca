#pragma once
// A value of an event as the tools read it: a whole number from 0 to 255 in
// decimal digits (leading zeros allowed, nothing else).

#include <cstdint>
#include <optional>
#include <string_view>

namespace toruna::tools {

class ValueText {
 public:
  static std::optional<uint8_t> Parse(std::string_view digits);
};

}  // namespace toruna::tools
