#pragma once
// The process-wide half of the socket layer: starts and stops the platform's
// socket library with the first and last socket object, routes socket
// notifications and lookup completions to the owning CNetSocket (first
// registration wins; deliveries for unregistered handles are dropped), holds
// freshly accepted connections until an owner takes them, names error codes,
// and keeps the hand-overs that coalesced sends put off (FlushScheduler).
// It refers to socket objects by address and owns only the temporary holders.

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "base/RaisedError.h"
#include "net/FlushScheduler.h"
#include "net/Platform.h"
#include "net/SocketTable.h"

namespace toruna::net {

class CNetSocket;

class modNetSocket : public NotificationSink {
 public:
  // The messages of WndProc: a lookup completion and a socket notification.
  static constexpr int32_t kMsgResolveDone = 2048;
  static constexpr int32_t kMsgSocketNotify = 2049;

  // A dispatcher over the given platform, putting work off on scheduler (nullptr:
  // none, so coalesced sends are handed over at once). The caller keeps both
  // alive. A program gets one put together with its loop from SocketLayer.
  modNetSocket(Platform& platform, Scheduler* scheduler);
  ~modNetSocket();

  Platform& platform() { return platform_; }

  int32_t InitiateProcesses();
  int32_t FinalizeProcesses();
  int32_t SocketObjectCount() const { return socketObjectCount_; }
  bool LibraryStarted() const { return winsockStarted_; }
  bool NotifierOpen() const { return notifierOpen_; }

  bool RegisterSocket(SocketHandle s, CNetSocket* object, bool selectEvents);
  void DeregisterSocket(SocketHandle s);
  bool SocketIsRegistered(SocketHandle s) const;
  void RerouteSocket(SocketHandle s, CNetSocket* object);

  LookupHandle StartNameLookup(const std::string& host, CNetSocket* object);
  void DropResolutionRoute(LookupHandle request);

  void HoldAcceptedSocket(SocketHandle s);
  bool AcceptedSocketIsHeld(SocketHandle s) const;
  std::shared_ptr<CNetSocket> HeldSocketObject(SocketHandle s) const;
  void ReleaseHeldSocket(SocketHandle s);

  static std::string WinsockErrorText(int32_t code);
  // The error a member raises for a failed platform call: the code and its text.
  static base::RaisedError PlatformError(int32_t code, const char* source);

  // NotificationSink: deliver to the routed object's WndProc, or drop.
  void OnSocketNotify(SocketHandle socket, uint16_t event, uint16_t error) override;
  void OnLookupDone(LookupHandle request, uint16_t error, uint32_t addr) override;

  // The first IPv4 address of the lookup that completed last for an object
  // (the stand-in for the host entry in its lookup buffer).
  uint32_t CompletedLookupAddress() const { return lastLookupAddress_; }

  // The hand-overs that the socket objects' coalesced sends put off.
  FlushScheduler& Flushes() { return flushes_; }

  // A buffer of at least size bytes that every object of this dispatcher reads
  // into and copies out of before any event fires. One per dispatcher, not per
  // process: a dispatcher and its objects live on one thread, and a program may
  // run another dispatcher on another thread. Valid until the next call.
  uint8_t* ReadScratch(size_t size);

  // Drops every route that still leads to object (called as it is destroyed, so
  // that no delivery can reach a destroyed object whatever path it took).
  void ForgetObject(CNetSocket* object);

 private:
  Platform& platform_;
  int32_t socketObjectCount_ = 0;
  bool winsockStarted_ = false;
  bool notifierOpen_ = false;
  // The registry of sockets and the routes of their notifications.
  SocketTable sockets_;
  size_t registeredCount_ = 0;
  std::map<SocketHandle, std::shared_ptr<CNetSocket>> acceptRegistry_;
  std::map<LookupHandle, CNetSocket*> resolutionRoutes_;
  uint32_t lastLookupAddress_ = 0;
  FlushScheduler flushes_;
  // Left uninitialised: it is as large as a socket's receive buffer (often hundreds
  // of KB), and only the pages reads actually fill become resident.
  std::unique_ptr<uint8_t[]> readScratch_;
  size_t readScratchSize_ = 0;
};

// Helpers used across the layer.
uint16_t HighWord(int32_t value);
uint16_t LowWord(int32_t value);
int16_t PortToWord(int32_t port);  // raises 6 (overflow) above 65535
int32_t WordToPort(int16_t word);

}  // namespace toruna::net
