#include "server/LimitSettings.h"

#include "server/WholeNumberKeys.h"

namespace toruna::server {

namespace {

constexpr WholeNumberKey<Limits> kKeys[] = {
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

}  // namespace

LimitSettings LimitSettings::Read(const clsSettings& settings) {
  LimitSettings result;
  ReadWholeNumbers(settings, kKeys, result.values_, result.problems_);
  return result;
}

}  // namespace toruna::server
