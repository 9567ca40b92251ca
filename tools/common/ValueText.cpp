#include "ValueText.h"

namespace toruna::tools {

std::optional<uint8_t> ValueText::Parse(std::string_view digits) {
  if (digits.empty() || digits.size() > 3) return std::nullopt;
  int v = 0;
  for (char ch : digits) {
    if (ch < '0' || ch > '9') return std::nullopt;
    v = v * 10 + (ch - '0');
  }
  if (v > 255) return std::nullopt;
  return static_cast<uint8_t>(v);
}

}  // namespace toruna::tools
