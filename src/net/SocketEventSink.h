#pragma once
// An owner that takes a socket object's events as calls of its own, instead of
// through the object's On* members: one pointer per object instead of a function
// per event, for owners that hold thousands of connections. The methods are named
// as an owner's handlers of its Sock are. Each does nothing unless overridden.

#include <cstdint>

namespace toruna::net {

struct SocketErrorArgs;

class SocketEventSink {
 public:
  virtual void Sock_CloseSck() {}
  virtual void Sock_Connect() {}
  virtual void Sock_ConnectionRequest(int32_t /*RequestID*/) {}
  virtual void Sock_DataArrival(int32_t /*bytesTotal*/) {}
  virtual void Sock_Error(SocketErrorArgs& /*e*/) {}
  virtual void Sock_SendComplete() {}
  virtual void Sock_SendProgress(int32_t /*bytesSent*/, int32_t /*bytesRemaining*/) {}

 protected:
  ~SocketEventSink() = default;
};

}  // namespace toruna::net
