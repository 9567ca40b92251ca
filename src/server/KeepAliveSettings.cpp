#include "server/KeepAliveSettings.h"

#include <cstdint>
#include <optional>
#include <string_view>

#include "server/clsSettings.h"

namespace toruna::server {

namespace {

struct Key {
  const char* name;
  int32_t net::KeepAlive::*field;
  int64_t least;
  int64_t most;  // the largest the system takes (seconds; 127 probes)
};

// 0 for the idle time turns keepalive off, and for the user timeout leaves the
// system's own (about a quarter of an hour of retransmissions on Linux).
constexpr Key kKeys[] = {
    {"KeepAliveIdle", &net::KeepAlive::idleSeconds, 0, 32767},
    {"KeepAliveInterval", &net::KeepAlive::intervalSeconds, 1, 32767},
    {"KeepAliveCount", &net::KeepAlive::probes, 1, 127},
    {"UserTimeout", &net::KeepAlive::userTimeoutSeconds, 0, 2147483},
};

// Decimal digits with blanks around them; anything else is no number. Stricter
// than the other numeric settings on purpose: "2m" must not read as 2 seconds.
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

}  // namespace

KeepAliveSettings KeepAliveSettings::Read(const clsSettings& settings) {
  KeepAliveSettings result;
  for (const Key& key : kKeys) {
    const std::string text = settings.RegString(key.name);
    if (text.find_first_not_of(" \t\r") == std::string::npos) continue;
    const std::optional<int64_t> value = WholeNumber(text);
    int32_t& field = result.values_.*key.field;
    if (value && *value >= key.least && *value <= key.most) {
      field = static_cast<int32_t>(*value);
      continue;
    }
    result.problems_.push_back(std::string(key.name) + "=" + text +
                               " in the settings file is not a whole number from " +
                               std::to_string(key.least) + " to " + std::to_string(key.most) +
                               "; " + std::to_string(field) + " is used");
  }
  return result;
}

}  // namespace toruna::server
