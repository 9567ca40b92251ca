#include "net/modNetSocket.h"

#include "net/CNetSocket.h"

namespace toruna::net {

modNetSocket::modNetSocket(Platform& platform, Scheduler* scheduler)
    : platform_(platform), flushes_(scheduler) {}

modNetSocket::~modNetSocket() {
  // Holders call back into this dispatcher as they go, so they must go while
  // the route tables still exist.
  auto holders = std::move(acceptRegistry_);
  acceptRegistry_.clear();
  for (auto& [handle, holder] : holders) holder->socketHandle = -1;
  holders.clear();
  if (notifierOpen_) platform_.CloseNotifier();
}

int32_t modNetSocket::InitiateProcesses() {
  ++socketObjectCount_;
  if (winsockStarted_) return 0;
  winsockStarted_ = true;
  if (int code = platform_.Startup(); code != 0) {
    // The object that asked is not constructed and will never uncount itself;
    // leaving the count and the flag set would keep the library from ever starting.
    --socketObjectCount_;
    winsockStarted_ = false;
    throw PlatformError(code, "modNetSocket.InitiateProcesses");
  }
  return 0;
}

int32_t modNetSocket::FinalizeProcesses() {
  const int32_t before = socketObjectCount_--;
  if (!(winsockStarted_ && before == 1)) return 0;
  if (platform_.Cleanup() == -1) throw PlatformError(platform_.LastError(), "modNetSocket.FinalizeProcesses");
  if (notifierOpen_ && platform_.CloseNotifier()) notifierOpen_ = false;
  sockets_.DropAllRoutes();
  resolutionRoutes_.clear();
  winsockStarted_ = false;
  return 0;
}

bool modNetSocket::RegisterSocket(SocketHandle s, CNetSocket* object, bool selectEvents) {
  // A notifier that could not be closed earlier is still usable; keep it.
  if (registeredCount_ == 0 && !notifierOpen_) {
    if (!platform_.OpenNotifier(this))
      throw base::RaisedError(base::kErrOutOfMemory, "modNetSocket.RegisterSocket", base::kTextOutOfMemory);
    notifierOpen_ = true;
  }
  // The first registration wins, unless its object is gone.
  SocketTable::Entry& entry = sockets_.Get(s);
  if (entry.route.expired()) entry.route = object->weak_from_this();
  if (selectEvents && platform_.AsyncSelect(s, kFdAllEvents) == -1)
    throw PlatformError(platform_.LastError(), "modNetSocket.RegisterSocket");
  if (!sockets_.Registered(s)) {
    sockets_.SetRegistered(s);
    ++registeredCount_;
  }
  return true;
}

void modNetSocket::DeregisterSocket(SocketHandle s) {
  if (sockets_.Find(s) == nullptr) return;
  const bool wasRegistered = sockets_.Registered(s);
  sockets_.Erase(s);
  if (!wasRegistered) return;
  if (--registeredCount_ != 0) return;
  // The registry emptied: the notifier goes, and every route with it.
  sockets_.DropAllRoutes();
  resolutionRoutes_.clear();
  if (notifierOpen_ && platform_.CloseNotifier()) notifierOpen_ = false;
}

bool modNetSocket::SocketIsRegistered(SocketHandle s) const {
  return sockets_.Registered(s);
}

void modNetSocket::RerouteSocket(SocketHandle s, CNetSocket* object) {
  // Only a route that exists changes: one to an object that has gone still does, one
  // that was dropped does not come back.
  SocketTable::Entry* entry = sockets_.Find(s);
  if (entry != nullptr && SocketTable::HasRoute(*entry)) entry->route = object->weak_from_this();
}

LookupHandle modNetSocket::StartNameLookup(const std::string& host, CNetSocket* object) {
  LookupHandle request = platform_.AsyncGetHostByName(host);
  if (request != 0) resolutionRoutes_.emplace(request, object);
  return request;
}

void modNetSocket::DropResolutionRoute(LookupHandle request) { resolutionRoutes_.erase(request); }

void modNetSocket::HoldAcceptedSocket(SocketHandle s) {
  std::shared_ptr<CNetSocket> holder = CNetSocket::Create(*this);
  try {
    holder->Accept(s);
  } catch (...) {
    // The caller closes the handle; the failed holder must neither close it
    // again nor stay reachable.
    holder->socketHandle = -1;
    throw;
  }
  acceptRegistry_[s] = std::move(holder);
}

bool modNetSocket::AcceptedSocketIsHeld(SocketHandle s) const { return acceptRegistry_.count(s) != 0; }

std::shared_ptr<CNetSocket> modNetSocket::HeldSocketObject(SocketHandle s) const {
  auto it = acceptRegistry_.find(s);
  return it == acceptRegistry_.end() ? nullptr : it->second;
}

void modNetSocket::ReleaseHeldSocket(SocketHandle s) {
  auto it = acceptRegistry_.find(s);
  if (it == acceptRegistry_.end()) return;
  // Erase first: the holder's destructor may call back into this registry.
  std::shared_ptr<CNetSocket> holder = std::move(it->second);
  acceptRegistry_.erase(it);
}

uint8_t* modNetSocket::ReadScratch(size_t size) {
  if (readScratchSize_ < size) {
    readScratch_.reset(new uint8_t[size]);
    readScratchSize_ = size;
  }
  return readScratch_.get();
}

void modNetSocket::ForgetObject(CNetSocket* object) {
  // Routes to it have expired with it; the one under its own handle goes now.
  if (const SocketTable::Entry* entry = sockets_.Find(object->socketHandle);
      entry != nullptr && entry->route.expired()) {
    sockets_.DropRoute(object->socketHandle);
  }
  // Lookups are few: only those still pending.
  std::erase_if(resolutionRoutes_, [object](const auto& route) { return route.second == object; });
}

void modNetSocket::OnSocketNotify(SocketHandle socket, uint16_t event, uint16_t error) {
  const SocketTable::Entry* entry = sockets_.Find(socket);
  if (entry == nullptr) return;
  // The reference keeps the object alive until WndProc returns, whatever its handlers drop.
  std::shared_ptr<CNetSocket> object = entry->route.lock();
  if (!object) {
    sockets_.DropRoute(socket);
    return;
  }
  const int32_t lParam = static_cast<int32_t>((static_cast<uint32_t>(error) << 16) | event);
  object->WndProc(0, kMsgSocketNotify, socket, lParam);
}

void modNetSocket::OnLookupDone(LookupHandle request, uint16_t error, uint32_t addr) {
  auto it = resolutionRoutes_.find(request);
  if (it == resolutionRoutes_.end()) return;
  std::shared_ptr<CNetSocket> object = it->second->weak_from_this().lock();
  if (!object) return;
  lastLookupAddress_ = addr;
  object->WndProc(0, kMsgResolveDone, request, static_cast<int32_t>(static_cast<uint32_t>(error) << 16));
}

std::string modNetSocket::WinsockErrorText(int32_t code) {
  switch (code) {
    case 10004: return "Interrupted function call";
    case 10013: return "Permission denied";
    case 10014: return "Bad address";
    case 10022: return "Invalid argument";
    case 10024: return "Too many open files";
    case 10035: return "Resource temporarily unavailable";
    case 10036: return "Operation now in progress";
    case 10037: return "Operation already in progress";
    case 10038: return "Socket operation on nonsocket";
    case 10039: return "Destination address required";
    case 10040: return "Message too long";
    case 10041: return "Protocol wrong type for socket";
    case 10042: return "Bad protocol option";
    case 10043: return "Protocol not supported";
    case 10044: return "Socket type not supported";
    case 10045: return "Operation not supported";
    case 10046: return "Protocol family not supported";
    case 10047: return "Address family not supported by protocol family";
    case 10048: return "Address already in use";
    case 10049: return "Cannot assign requested address";
    case 10050: return "Network is down";
    case 10051: return "Network is unreachable";
    case 10052: return "Network dropped connection on reset";
    case 10053: return "Timeout or Software caused connection abort";
    case 10054: return "Connection reset by peer";
    case 10055: return "No buffer space available";
    case 10056: return "Socket is already connected";
    case 10057: return "Socket is not connected";
    case 10058: return "Cannot send after socket shutdown";
    case 10060: return "Connection timed out";
    case 10061: return "Connection refused";
    case 10065: return "No route to host";
    case 10067: return "Too many processes";
    case 10091: return "Network subsystem is unavailable";
    case 10092: return "Winsock.dll version out of range";
    case 10093: return "Successful WSAStartup not yet performed";
    case 11001: return "Host not found";
    case 11002: return "Nonauthoritative host not found";
    case 11003: return "This is a nonrecoverable error";
    case 11004: return "Valid name, no data record of requested type";
    default: return "Unknown error";
  }
}

base::RaisedError modNetSocket::PlatformError(int32_t code, const char* source) {
  return base::RaisedError(code, source, WinsockErrorText(code));
}

uint16_t HighWord(int32_t value) { return static_cast<uint16_t>(static_cast<uint32_t>(value) >> 16); }

uint16_t LowWord(int32_t value) { return static_cast<uint16_t>(static_cast<uint32_t>(value) & 0xFFFFu); }

int16_t PortToWord(int32_t port) {
  if (port > 65535 || port < -32768)
    throw base::RaisedError(base::kErrOverflow, "modNetSocket.PortToWord", base::kTextOverflow);
  return static_cast<int16_t>(port >= 32768 ? port - 65536 : port);
}

int32_t WordToPort(int16_t word) { return word < 0 ? word + 65536 : word; }

}  // namespace toruna::net
