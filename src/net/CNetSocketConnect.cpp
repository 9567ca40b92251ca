// Local and remote addressing of the socket object: binding, name resolution
// (at once for dotted text, blocking for a bind, asynchronous for a connect),
// the local host's name and address, and the outgoing connect.
// The address value 1 stands for "no address" throughout.

#include <algorithm>
#include <cmath>
#include <charconv>

#include "base/RaisedError.h"
#include "net/CNetSocket.h"
#include "net/modNetSocket.h"

namespace toruna::net {

namespace {

constexpr uint32_t kNoAddress = 1;

// The text of an argument that names a host or an address.
std::string TextOf(const Variant& value) {
  if (value.Type() == vbString) return value.AsString();
  if (value.IsEmpty()) return "";
  if (value.IsNumeric()) {
    // Fifteen significant digits, with a point whatever the locale.
    char text[32];
    const auto result = std::to_chars(text, text + sizeof text, value.ToNumber(),
                                      std::chars_format::general, 15);
    return std::string(text, result.ptr);
  }
  return "";
}

// A whole number from a numeric argument, rounding halves to even as the
// owner's language converts to a Long.
int32_t ToPort(double value) { return static_cast<int32_t>(std::nearbyint(value)); }

}  // namespace

void CNetSocket::Bind(const Variant& LocalPort, const Variant& LocalIP) {
  if (state != StateClosed)
    throw base::RaisedError(base::kErrInvalidOperation, "CNetSocket.Bind", base::kTextInvalidOperation);
  if (BindInternal(LocalPort, LocalIP)) state = StateOpen;
}

bool CNetSocket::BindInternal(const Variant& LocalPort, const Variant& LocalIP) {
  // A UDP object in StateError still holds its bound socket (a send of it brings
  // it back to StateOpen): binding that again could only fail.
  if (state == StateOpen || (state == StateError && socketBound_ && socketHandle != -1)) return true;

  int32_t port = localPort;
  if (!LocalPort.IsMissing()) {
    if (!LocalPort.IsNumeric())
      throw base::RaisedError(base::kErrUnsupportedType, "CNetSocket.BindInternal",
                              base::kTextUnsupportedType);
    const double value = LocalPort.ToNumber();
    if (value < 0 || value > 65535)
      throw base::RaisedError(base::kErrBadArgument, "CNetSocket.BindInternal", base::kTextBadArgument);
    port = ToPort(value);
  }

  std::string addressText = LocalIP.IsMissing() ? "" : TextOf(LocalIP);
  if (addressText.empty()) addressText = "0.0.0.0";

  std::string dotted;
  int32_t error = 0;
  const uint32_t address = ResolveHostNow(addressText, dotted, error);
  if (error != 0)
    throw base::RaisedError(base::kErrBadArgument, "CNetSocket.BindInternal", base::kTextInvalidArgument);

  if (!SocketExists()) return false;

  Platform& platform = module_.platform();
  if (platform.Bind(socketHandle, SockAddrIn{address, static_cast<uint16_t>(port)}) == -1) {
    // The bind itself was refused: the caller learns only False, the owner
    // learns why through the Error event.
    const int32_t code = platform.LastError();
    FireError(code, modNetSocket::WinsockErrorText(code), "CNetSocket.BindInternal", true, true);
    return false;
  }

  socketBound_ = true;
  SetRareText(&Rare::localIP, dotted);
  if (port != 0) {
    localPort = port;
  } else {
    const int32_t chosen = QueryBoundPort(socketHandle);
    if (chosen == -1) throw modNetSocket::PlatformError(platform.LastError(), "CNetSocket.BindInternal");
    boundLocalPort = chosen;
  }
  return true;
}

uint32_t CNetSocket::ResolveHostNow(const std::string& host, std::string& dotted, int32_t& error) {
  if (host.empty()) {
    dotted.clear();
    error = kErrAddressFamily;
    return kNoAddress;
  }
  Platform& platform = module_.platform();
  const uint32_t parsed = platform.InetAddr(host);
  if (parsed != kInaddrNone) {
    dotted = host;
    error = 0;
    return parsed;
  }
  uint32_t found = 0;
  if (platform.GetHostByName(host, &found) == 0) {
    dotted = platform.InetNtoa(found);
    error = 0;
    return found;
  }
  error = platform.LastError();
  dotted.clear();
  return kNoAddress;
}

int32_t CNetSocket::QueryBoundPort(int32_t handle) {
  SockAddrIn local;
  if (module_.platform().GetSockName(handle, &local) == -1) return -1;
  return WordToPort(static_cast<int16_t>(local.port));
}

std::string CNetSocket::GetLocalHostName() {
  Platform& platform = module_.platform();
  std::string name;
  if (platform.GetHostName(&name) == -1)
    throw modNetSocket::PlatformError(platform.LastError(), "CNetSocket.GetLocalHostName");
  return std::string(name.c_str());  // up to the first NUL
}

std::string CNetSocket::GetLocalIP() {
  const std::string name = GetLocalHostName();
  Platform& platform = module_.platform();
  uint32_t found = 0;
  if (platform.GetHostByName(name, &found) == -1)
    throw modNetSocket::PlatformError(platform.LastError(), "CNetSocket.GetLocalIP");
  return platform.InetNtoa(found);
}

void CNetSocket::Connect(const Variant& RemoteHost, const Variant& RemotePort) {
  if (state != StateClosed)
    throw base::RaisedError(base::kErrInvalidOperation, "CNetSocket.Connect", base::kTextInvalidOperation);
  if (!RemoteHost.IsMissing()) SetRareText(&Rare::remoteHost, TextOf(RemoteHost));
  if (!RemotePort.IsMissing()) {
    if (!RemotePort.IsNumeric())
      throw base::RaisedError(base::kErrUnsupportedType, "CNetSocket.Connect", base::kTextUnsupportedType);
    const double value = RemotePort.ToNumber();
    if (value < 1 || value > 65535)
      throw base::RaisedError(base::kErrBadArgument, "CNetSocket.Connect", base::kTextBadArgument);
    remotePort = ToPort(value);
  }
  if (!SocketExists()) return;
  if (!BindInternal(Variant::Missing(), Variant::Missing())) return;
  if (protocol != ProtocolTcp) {
    // A datagram socket only remembers its destination for later sends.
    state = StateOpen;
    return;
  }
  const uint32_t address = ResolveIfHostname(RareText(&Rare::remoteHost), 0);
  if (address != kNoAddress) ConnectToIP(address, 0);
}

uint32_t CNetSocket::ResolveIfHostname(const std::string& host, int32_t purpose) {
  Platform& platform = module_.platform();
  const uint32_t parsed = platform.InetAddr(host);
  if (parsed != kInaddrNone) return parsed;

  state = StateResolvingHost;
  if (!AllocateResolveBuffer()) {
    state = StateError;
    throw base::RaisedError(base::kErrOutOfMemory, "CNetSocket.ResolveIfHostname", base::kTextOutOfMemory);
  }
  const LookupHandle request = module_.StartNameLookup(host, this);
  if (request != 0) {
    auto& pendingLookups = rare().pendingLookups;
    auto known = std::find_if(pendingLookups.begin(), pendingLookups.end(),
                              [request](const auto& entry) { return entry.first == request; });
    if (known != pendingLookups.end()) {
      known->second = purpose;
    } else {
      pendingLookups.emplace_back(request, purpose);
    }
    return kNoAddress;
  }
  const int32_t code = platform.LastError();
  FreeResolveBuffer();
  state = StateError;
  FireError(code, modNetSocket::WinsockErrorText(code), "CNetSocket.ResolveIfHostname", true, true);
  return kNoAddress;
}

void CNetSocket::ConnectToIP(uint32_t address, int32_t error) {
  if (error == 0) {
    state = StateConnecting;
    Platform& platform = module_.platform();
    if (platform.Connect(socketHandle, SockAddrIn{address, static_cast<uint16_t>(remotePort)}) == 0) return;
    const int32_t code = platform.LastError();
    if (code == kErrWouldBlock) return;  // the normal answer; FD_CONNECT follows
    if (code == kErrAddressNotAvailable) throw modNetSocket::PlatformError(code, "CNetSocket.ConnectToIP");
    error = code;
  }
  state = StateError;
  FireError(error, modNetSocket::WinsockErrorText(error), "CNetSocket.ConnectToIP", true, true);
}

// The lookup result arrives with the completion itself, so the buffer is only
// a mark that a lookup is under way.
bool CNetSocket::AllocateResolveBuffer() {
  lookupBufferAllocated = true;
  return true;
}

void CNetSocket::FreeResolveBuffer() { lookupBufferAllocated = false; }

void CNetSocket::CancelPendingLookups() {
  if (rare_) {
    Platform& platform = module_.platform();
    for (const auto& [request, purpose] : rare_->pendingLookups) {
      platform.CancelAsyncRequest(request);
      module_.DropResolutionRoute(request);
    }
    rare_->pendingLookups.clear();
  }
  FreeResolveBuffer();
}

}  // namespace toruna::net
