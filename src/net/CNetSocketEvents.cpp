// What each platform notification does to the socket object, and the end of
// an asynchronous name lookup. Handlers fire synchronously and may call any
// member (GetData, Accept, CloseSck, ...), so every step after an event looks
// at the object's state afresh.

#include <algorithm>

#include "base/RaisedError.h"
#include "net/CNetSocket.h"
#include "net/modNetSocket.h"

namespace toruna::net {

void CNetSocket::PostSocket(int32_t event, int32_t error) {
  if (error != 0) {
    state = StateError;
    FireError(error, modNetSocket::WinsockErrorText(error), "CNetSocket.PostSocket", true, true);
    return;
  }

  switch (event) {
    case kFdRead:
      if (protocol == ProtocolTcp) {
        if (state != StateConnected) return;
        if (ReceiveIntoQueue() > 0) {
          Fire(&SocketEventSink::Sock_DataArrival, &Handlers::OnDataArrival, static_cast<int32_t>(receiveQueue.size()));
        }
      } else {
        if (state != StateOpen) return;
        const int32_t handle = socketHandle;
        const int32_t pending = PendingByteCount();
        datagramTaken_ = false;
        if (pending > 0) {
          Fire(&SocketEventSink::Sock_DataArrival, &Handlers::OnDataArrival, pending);
        }
        // A datagram the owner left unread does not survive the notification;
        // one waiting behind a datagram the owner took keeps its own notification.
        // With nothing pending this still removes a zero-length datagram.
        if (!datagramTaken_ && socketHandle == handle && socketHandle != -1) DiscardDatagram();
      }
      return;

    case kFdWrite:
      if (state == StateConnected && !sendQueue.empty()) FlushSendQueue();
      return;

    case kFdAccept: {
      if (state != StateListening) return;
      Platform& platform = module_.platform();
      SockAddrIn peer;
      const int32_t requestID = platform.Accept(socketHandle, &peer);
      if (requestID == -1) {
        const int32_t code = platform.LastError();
        // Not failures of the listener: the connection is gone again (left, or
        // died while it waited); the next one comes with its own notification.
        if (code == kErrWouldBlock || code == kErrConnectionAborted) return;
        if (code == kErrTooManyOpenFiles || code == kErrNoBufferSpace) {
          // No descriptor (or memory) for the connection now: the listener goes on
          // listening and the connections wait in its queue until the platform can
          // take them (it notifies again then). Said once per shortage.
          if (!acceptShortage_) {
            acceptShortage_ = true;
            FireError(code, modNetSocket::WinsockErrorText(code), "CNetSocket.PostSocket", true, true);
          }
          return;
        }
        state = StateError;
        FireError(code, modNetSocket::WinsockErrorText(code), "CNetSocket.PostSocket", true, true);
        return;
      }
      acceptShortage_ = false;
      try {
        module_.HoldAcceptedSocket(requestID);
      } catch (const base::RaisedError&) {
        // No holder: nobody may ever own the handle, so it must not stay open.
        platform.CloseSocket(requestID);
        return;
      }
      // The connection came with the listener's TCP_NODELAY (see Listen).
      if (noDelayPassedOn_) {
        if (std::shared_ptr<CNetSocket> holder = module_.HeldSocketObject(requestID)) holder->noDelay_ = true;
      }
      const int32_t savedPort = remotePort;
      const uint32_t savedAddress = remoteAddress_;
      const bool savedAddressSet = remoteAddressSet_;
      const std::string savedHost = RemoteHost();
      ReadPeerAddress(requestID);
      Fire(&SocketEventSink::Sock_ConnectionRequest, &Handlers::OnConnectionRequest, requestID);
      if (state == StateListening) {
        remotePort = savedPort;
        remoteAddress_ = savedAddress;
        remoteAddressSet_ = savedAddressSet;
        SetRareText(&Rare::remoteHost, savedHost);
      }
      if (module_.AcceptedSocketIsHeld(requestID)) {
        // Nobody took the connection: the peer sees it closed.
        platform.CloseSocket(requestID);
        module_.DeregisterSocket(requestID);
        module_.ReleaseHeldSocket(requestID);
      }
      return;
    }

    case kFdConnect: {
      if (state != StateConnecting) return;
      SockAddrIn peer;
      if (module_.platform().GetPeerName(socketHandle, &peer) == 0) {
        remotePort = WordToPort(static_cast<int16_t>(peer.port));
        SetRemoteAddress(peer.addr);
      }
      state = StateConnected;
      Fire(&SocketEventSink::Sock_Connect, &Handlers::OnConnect);
      return;
    }

    case kFdClose:
      if (state != StateConnected) return;
      state = StateClosing;
      Fire(&SocketEventSink::Sock_CloseSck, &Handlers::OnCloseSck);
      return;

    default:
      return;
  }
}

void CNetSocket::CompleteLookup(int32_t request, int32_t error) {
  // First, so that a later lookup given the same handle can never come here.
  module_.DropResolutionRoute(request);
  if (state != StateResolvingHost) return;

  if (!rare_) return;
  auto& pendingLookups = rare_->pendingLookups;
  auto entry = std::find_if(pendingLookups.begin(), pendingLookups.end(),
                            [request](const auto& item) { return item.first == request; });
  if (entry == pendingLookups.end()) return;
  const int32_t purpose = entry->second;
  pendingLookups.erase(entry);

  if (error != 0) {
    FreeResolveBuffer();
    if (purpose == 0) ConnectToIP(1, error);
    return;
  }
  state = StateHostResolved;
  const uint32_t address = module_.CompletedLookupAddress();
  FreeResolveBuffer();
  if (purpose == 0) ConnectToIP(address, 0);
}

}  // namespace toruna::net
