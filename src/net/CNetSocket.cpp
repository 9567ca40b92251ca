// Construction, destruction, properties, socket creation and release, the
// dispatcher's entry point and the Error event of the socket object.

#include "net/CNetSocket.h"

#include "base/AlertService.h"
#include "base/BlockPool.h"
#include "base/RaisedError.h"
#include "net/modNetSocket.h"

namespace toruna::net {

// One per connection, in a pool block with its shared count (16 bytes): 128
// bytes keep it in the 144-byte class; the next field would cost 16 a client.
static_assert(sizeof(CNetSocket) <= 128, "CNetSocket outgrows its pool class");

namespace {

void CheckPortRange(int32_t lngPort, const char* source) {
  if (lngPort < 0 || lngPort > 65535)
    throw base::RaisedError(base::kErrBadArgument, source, base::kTextBadArgument);
}

}  // namespace

std::shared_ptr<CNetSocket> CNetSocket::Create(modNetSocket& dispatcher) {
  // One block for the object and its count, from the pool of its size: a server
  // holds one per client.
  struct Allocated : CNetSocket {
    explicit Allocated(modNetSocket& d) : CNetSocket(d) {}
  };
  return std::allocate_shared<Allocated>(base::PoolAllocator<Allocated>(), dispatcher);
}

CNetSocket::CNetSocket(modNetSocket& dispatcher) : module_(dispatcher) { module_.InitiateProcesses(); }

CNetSocket::~CNetSocket() {
  CancelPendingLookups();
  // A destructor cannot raise: failures of the release are shown through the
  // alert service instead, and the object's routes go whatever happened.
  if (!isAcceptedSocket) {
    FlushBeforeClose();
    try {
      DestroySocket();
    } catch (const base::RaisedError& e) {
      module_.DeregisterSocket(socketHandle);
      base::AlertService::Current().Alert(e.Description(), e.Source());
    }
  }
  module_.ForgetObject(this);
  try {
    module_.FinalizeProcesses();
  } catch (const base::RaisedError& e) {
    base::AlertService::Current().Alert(e.Description(), e.Source());
  }
}

// Properties.

int32_t CNetSocket::RemotePort() const { return remotePort; }

void CNetSocket::SetRemotePort(int32_t lngPort) {
  if (protocol == ProtocolTcp && state != StateClosed)
    throw base::RaisedError(base::kErrInvalidOperation, "CNetSocket.RemotePort", base::kTextInvalidOperation);
  CheckPortRange(lngPort, "CNetSocket.RemotePort");
  remotePort = lngPort;
}

std::string CNetSocket::RemoteHost() const { return RareText(&Rare::remoteHost); }

void CNetSocket::SetRemoteHost(const std::string& strHost) {
  if (protocol == ProtocolUdp || state == StateClosed) {
    SetRareText(&Rare::remoteHost, strHost);
    return;
  }
  FireError(base::kErrInvalidOperation, std::string("CNetSocket.RemoteHost - ") + base::kTextInvalidOperation,
            "", false, false);
}

std::string CNetSocket::RemoteHostIP() const {
  return remoteAddressSet_ ? module_.platform().InetNtoa(remoteAddress_) : std::string();
}

int32_t CNetSocket::LocalPort() const { return boundLocalPort != 0 ? boundLocalPort : localPort; }

void CNetSocket::SetLocalPort(int32_t lngPort) {
  if (state != StateClosed)
    throw base::RaisedError(base::kErrInvalidOperation, "CNetSocket.LocalPort", base::kTextInvalidOperation);
  CheckPortRange(lngPort, "CNetSocket.LocalPort");
  localPort = lngPort;
}


std::string CNetSocket::LocalHostName() { return GetLocalHostName(); }

std::string CNetSocket::LocalIP() {
  if (state == StateOpen || state == StateListening) return RareText(&Rare::localIP);
  return GetLocalIP();
}

int32_t CNetSocket::BytesReceived() {
  if (protocol == ProtocolTcp) return static_cast<int32_t>(receiveQueue.size());
  return PendingByteCount();
}

int32_t CNetSocket::SocketHandle() const { return socketHandle; }

std::string CNetSocket::Tag() const { return RareText(&Rare::tag); }

void CNetSocket::SetTag(const std::string& strTag) { SetRareText(&Rare::tag, strTag); }

int32_t CNetSocket::Protocol() const { return protocol; }

void CNetSocket::SetProtocol(int32_t enmProtocol) {
  if (state != StateClosed)
    throw base::RaisedError(base::kErrInvalidOperation, "CNetSocket.Protocol", base::kTextInvalidOperation);
  protocol = enmProtocol;
}

void CNetSocket::ReleaseIdleMemory() {
  sendQueue.ReleaseIdleMemory();
  receiveQueue.ReleaseIdleMemory();
}

CNetSocket::Rare& CNetSocket::rare() {
  if (!rare_) rare_ = std::make_unique<Rare>();
  return *rare_;
}

const std::string& CNetSocket::RareText(std::string Rare::*field) const {
  static const std::string empty;
  return rare_ ? (*rare_).*field : empty;
}

void CNetSocket::SetRareText(std::string Rare::*field, std::string text) {
  if (rare_ || !text.empty()) rare().*field = std::move(text);
}

void CNetSocket::SetRemoteAddress(uint32_t address) {
  remoteAddress_ = address;
  remoteAddressSet_ = true;
}

void CNetSocket::ClearRemoteAddress() {
  remoteAddress_ = 0;
  remoteAddressSet_ = false;
}

// Socket lifetime.

bool CNetSocket::SocketExists() {
  if (socketHandle != -1) return true;
  Platform& platform = module_.platform();
  const bool tcp = protocol == ProtocolTcp;
  const net::SocketHandle created = platform.Socket(tcp ? kSockStream : kSockDgram, tcp ? kIpProtoTcp : kIpProtoUdp);
  if (created == -1) {
    const int32_t code = platform.LastError();
    state = StateError;
    FireError(code, modNetSocket::WinsockErrorText(code), "CNetSocket.SocketExists", true, false);
    return false;
  }
  socketHandle = created;
  ProcessOptions();
  return module_.RegisterSocket(socketHandle, this, true);
}

void CNetSocket::DestroySocket() {
  if (socketHandle == -1) return;
  Platform& platform = module_.platform();
  if (platform.CloseSocket(socketHandle) == -1) {
    state = StateError;
    throw modNetSocket::PlatformError(platform.LastError(), "CNetSocket.DestroySocket");
  }
  module_.DeregisterSocket(socketHandle);
  socketHandle = -1;
  socketBound_ = false;
}

void CNetSocket::CloseSck() {
  if (socketHandle == -1) return;
  FlushBeforeClose();
  state = StateClosing;
  CancelPendingLookups();
  DestroySocket();
  boundLocalPort = 0;
  ClearRemoteAddress();
  receiveQueue.Clear();
  sendQueue.Clear();
  receiveQueue.ReleaseIdleMemory();
  sendQueue.ReleaseIdleMemory();
  sendBufferSize = 0;
  receiveBufferSize = 0;
  sendBlocked_ = false;
  state = StateClosed;
}

// Dispatcher entry.

void CNetSocket::WndProc(int32_t /*hWnd*/, int32_t uMsg, int32_t wParam, int32_t lParam) {
  // Handlers may drop the owner's last reference; this one lasts until we return.
  std::shared_ptr<CNetSocket> self = weak_from_this().lock();
  if (uMsg == modNetSocket::kMsgResolveDone) {
    CompleteLookup(wParam, HighWord(lParam));
  } else if (uMsg == modNetSocket::kMsgSocketNotify) {
    PostSocket(LowWord(lParam), HighWord(lParam));
  }
}

void CNetSocket::FireError(int32_t number, const std::string& description, const std::string& source,
                           bool cancelDisplay, bool allowBox) {
  SocketErrorArgs e;
  e.Number = number;
  e.Description = description;
  e.Source = source;
  e.CancelDisplay = cancelDisplay;
  Fire(&SocketEventSink::Sock_Error, &Handlers::OnError, e);
  if (allowBox && !e.CancelDisplay) base::AlertService::Current().Alert(e.Description, e.Source);
}

}  // namespace toruna::net
