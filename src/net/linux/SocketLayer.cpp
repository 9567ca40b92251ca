#include "net/linux/SocketLayer.h"

namespace toruna::net {

SocketLayer::SocketLayer() : platform_(loop_), scheduler_(loop_), dispatcher_(platform_, &scheduler_) {}

SocketLayer& SocketLayer::Default() {
  static SocketLayer layer;
  return layer;
}

}  // namespace toruna::net
