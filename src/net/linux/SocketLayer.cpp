#include "net/linux/SocketLayer.h"

namespace toruna::net {

SocketLayer::SocketLayer() : platform_(loop_), dispatcher_(platform_) {}

SocketLayer& SocketLayer::Default() {
  static SocketLayer layer;
  return layer;
}

}  // namespace toruna::net
