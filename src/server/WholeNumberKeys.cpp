#include "server/WholeNumberKeys.h"

namespace toruna::server {

std::optional<int64_t> WholeNumber(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r')) {
    text.remove_suffix(1);
  }
  if (text.empty() || text.size() > 12) return std::nullopt;
  int64_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + (c - '0');
  }
  return value;
}

std::string WholeNumberProblem(const char* name, const std::string& text, int64_t least, int64_t most,
                               int32_t kept) {
  return std::string(name) + "=" + text + " in the settings file is not a whole number from " +
         std::to_string(least) + " to " + std::to_string(most) + "; " + std::to_string(kept) + " is used";
}

}  // namespace toruna::server
