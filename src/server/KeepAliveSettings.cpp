#include "server/KeepAliveSettings.h"

#include "server/WholeNumberKeys.h"

namespace toruna::server {

namespace {

// 0 for the idle time turns keepalive off, and for the user timeout leaves the
// system's own (about a quarter of an hour of retransmissions on Linux).
constexpr WholeNumberKey<net::KeepAlive> kKeys[] = {
    {"KeepAliveIdle", &net::KeepAlive::idleSeconds, 0, 32767},
    {"KeepAliveInterval", &net::KeepAlive::intervalSeconds, 1, 32767},
    {"KeepAliveCount", &net::KeepAlive::probes, 1, 127},
    {"UserTimeout", &net::KeepAlive::userTimeoutSeconds, 0, 2147483},
};

}  // namespace

KeepAliveSettings KeepAliveSettings::Read(const clsSettings& settings) {
  KeepAliveSettings result;
  ReadWholeNumbers(settings, kKeys, result.values_, result.problems_);
  return result;
}

}  // namespace toruna::server
