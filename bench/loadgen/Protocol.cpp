#include "Protocol.h"

#include "MqttProtocol.h"
#include "NatsProtocol.h"
#include "RedisProtocol.h"
#include "TorunaProtocol.h"

namespace loadgen {

std::unique_ptr<Protocol> MakeProtocol(const std::string& name) {
  if (name == "toruna") return std::make_unique<TorunaProtocol>();
  if (name == "mqtt") return std::make_unique<MqttProtocol>();
  if (name == "nats") return std::make_unique<NatsProtocol>();
  if (name == "redis") return std::make_unique<RedisProtocol>();
  return nullptr;
}

}  // namespace loadgen
