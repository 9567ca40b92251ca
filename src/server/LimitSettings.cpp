#include "server/LimitSettings.h"

#include <optional>
#include <string_view>

#include "server/clsSettings.h"

namespace toruna::server {

namespace {

struct Key {
  const char* name;
  int32_t Limits::*field;
  int64_t least;
  int64_t most;
};

constexpr Key kKeys[] = {
    {"MaxEventsPerClient", &Limits::maxEventsPerClient, 1, 2147483647},
    {"MaxEvents", &Limits::maxEvents, 1, 2147483647},
    {"RegistrationTimeout", &Limits::registrationTimeout, 0, 86400},
    {"MaxConnectionsPerAddress", &Limits::maxConnectionsPerAddress, 0, 2147483647},
    // Below one frame of the largest size a connection could not even be sent one.
    {"MaxUnsentBytes", &Limits::maxUnsentBytes, 65536, 2147483647},
    {"UnsentBudget", &Limits::unsentBudget, 0, 2147483647},
    {"WriteDeadline", &Limits::writeDeadline, 0, 86400},
    {"DiscoveryRepliesPerSecond", &Limits::discoveryRepliesPerSecond, 0, 2147483647},
    {"LogLinesPerSecond", &Limits::logLinesPerSecond, 0, 2147483647},
};

// Decimal digits with blanks around them; anything else is no number.
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

LimitSettings LimitSettings::Read(const clsSettings& settings) {
  LimitSettings result;
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
