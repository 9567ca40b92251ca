// Listening and accepting. An accepted connection first goes to a temporary
// holder (Accept called by the dispatcher); the owner's Accept then takes the
// handle over together with whatever the holder queued, and a close it saw.

#include <memory>

#include "base/RaisedError.h"
#include "net/CNetSocket.h"
#include "net/modNetSocket.h"

namespace toruna::net {

namespace {
// As many waiting connections as the system allows. Where a full backlog drops a
// connection instead of refusing it (Linux), its client only retries after one,
// three, seven seconds: a burst of clients (after a restart or a network blip)
// must fit.
constexpr int kListenBacklog = kMaxBacklog;
}  // namespace

bool CNetSocket::Listen() {
  if (state != StateClosed && state != StateOpen) return false;
  if (!SocketExists()) return false;
  if (!BindInternal(Variant::Missing(), Variant::Missing())) return false;
  // Before listen: a connection that completes its handshake takes the options
  // the listening socket has at that moment.
  Platform& platform = module_.platform();
  noDelayPassedOn_ = noDelay_ && platform.SetSockOpt(socketHandle, kIpProtoTcp, kTcpNoDelay, 1) != -1;
  if (rare_ && rare_->acceptedKeepAlive) rare_->keepAlivePassedOn = ApplyKeepAlive(*rare_->acceptedKeepAlive);
  if (platform.Listen(socketHandle, kListenBacklog) == -1) return false;
  state = StateListening;
  return true;
}

void CNetSocket::Accept(int32_t RequestID) {
  if (state != StateClosed) {
    throw base::RaisedError(base::kErrInvalidOperation, "CNetSocket.Accept", base::kTextInvalidOperation);
  }
  protocol = ProtocolTcp;
  const bool held = module_.AcceptedSocketIsHeld(RequestID);
  // A handle another object owns is refused before anything touches it, so that
  // closing or destroying this object can never close that object's socket.
  if (!held && module_.SocketIsRegistered(RequestID)) {
    throw base::RaisedError(base::kErrWrongState, "CNetSocket.Accept", base::kTextWrongState);
  }

  socketHandle = RequestID;
  try {
    const std::shared_ptr<CNetSocket> holder = held ? module_.HeldSocketObject(RequestID) : nullptr;
    ProcessOptions(holder && holder->noDelay_);
  } catch (...) {
    // The handle is not ours yet: a held connection stays waiting for the end of
    // the FD_ACCEPT handling, which closes it when nobody else accepts it.
    socketHandle = -1;
    sendBufferSize = 0;
    receiveBufferSize = 0;
    throw;
  }

  if (!held) {
    // The temporary holder: the accepted socket already carries the listening
    // socket's event selection.
    isAcceptedSocket = true;
    state = StateConnected;
    try {
      module_.RegisterSocket(RequestID, this, false);
    } catch (...) {
      isAcceptedSocket = false;
      state = StateClosed;
      socketHandle = -1;
      sendBufferSize = 0;
      receiveBufferSize = 0;
      throw;
    }
    return;
  }

  // The owner's case. Events below may drop the owner's last reference.
  std::shared_ptr<CNetSocket> keepAlive = weak_from_this().lock();
  std::shared_ptr<CNetSocket> holder = module_.HeldSocketObject(RequestID);
  module_.ReleaseHeldSocket(RequestID);

  Platform& platform = module_.platform();
  SockAddrIn local;
  if (platform.GetSockName(socketHandle, &local) == -1) {
    const int code = platform.LastError();
    // Nobody owns the connection now and its holder is about to go: close it, so
    // that no notification can reach the destroyed holder.
    platform.CloseSocket(RequestID);
    module_.DeregisterSocket(RequestID);
    socketHandle = -1;
    sendBufferSize = 0;
    receiveBufferSize = 0;
    throw modNetSocket::PlatformError(code, "CNetSocket.Accept");
  }
  boundLocalPort = local.port;
  // The local address is not kept: LocalIP reads it afresh while connected.
  ReadPeerAddress(socketHandle);
  state = StateConnected;

  if (holder && !holder->receiveQueue.empty()) {
    receiveQueue.Append(holder->receiveQueue.data(), holder->receiveQueue.size());
    holder->receiveQueue.Clear();
  }
  module_.RerouteSocket(RequestID, this);

  if (!receiveQueue.empty()) {
    Fire(&SocketEventSink::Sock_DataArrival, &Handlers::OnDataArrival, static_cast<int32_t>(receiveQueue.size()));
  }
  // Only while the connection is still this object's: a DataArrival handler may
  // already have closed it.
  if (holder && holder->state == StateClosing && state == StateConnected &&
      socketHandle == RequestID) {
    state = StateClosing;
    Fire(&SocketEventSink::Sock_CloseSck, &Handlers::OnCloseSck);
  }
}

bool CNetSocket::ReadPeerAddress(int32_t handle) {
  SockAddrIn peer;
  if (module_.platform().GetPeerName(handle, &peer) == -1) {
    remotePort = 0;
    ClearRemoteAddress();
    SetRareText(&Rare::remoteHost, "");
    return false;
  }
  StoreRemoteAddress(peer);
  return true;
}

void CNetSocket::StoreRemoteAddress(const SockAddrIn& address) {
  remotePort = address.port;
  SetRemoteAddress(address.addr);
  SetRareText(&Rare::remoteHost, "");
}

}  // namespace toruna::net
