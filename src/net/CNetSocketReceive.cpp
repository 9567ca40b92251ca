// The receive path. TCP bytes wait in receiveQueue; UDP datagrams wait in the
// platform and are read one at a time, together with their sender's address.
// GetData reports a refused gate through the Error event, PeekData raises it.

#include <algorithm>
#include <climits>
#include <cmath>
#include <memory>
#include <utility>
#include <vector>

#include "base/RaisedError.h"
#include "net/CNetSocket.h"
#include "net/VariantBytes.h"
#include "net/modNetSocket.h"

namespace toruna::net {

namespace {

constexpr size_t kDefaultReadSize = 65536;

// The empty value of a text or byte-array kind.
Variant EmptyOfKind(int32_t kind) {
  return kind == vbString ? Variant(std::string()) : Variant(std::vector<uint8_t>());
}

bool Given(const Variant* argument) { return argument != nullptr && !argument->IsMissing(); }

// The whole-number value of a numeric argument, rounded as a Long conversion rounds.
int64_t WholeNumber(const Variant& value) {
  const double number = std::nearbyint(value.ToNumber());
  if (number >= static_cast<double>(INT32_MAX)) return INT32_MAX;
  if (number <= static_cast<double>(INT32_MIN)) return INT32_MIN;
  return static_cast<int64_t>(number);
}

}  // namespace

int32_t CNetSocket::ReceiveIntoQueue() {
  Platform& platform = module_.platform();
  const size_t size = receiveBufferSize > 0 ? static_cast<size_t>(receiveBufferSize)
                                            : kDefaultReadSize;
  uint8_t* buffer = module_.ReadScratch(size);
  const int received = platform.Recv(socketHandle, buffer, static_cast<int>(size), 0);
  if (received == -1) {
    const int code = platform.LastError();
    // A read notification that finds nothing (already read) is not a failure.
    if (code == kErrWouldBlock) return 0;
    state = StateError;
    FireError(code, modNetSocket::WinsockErrorText(code), "", false, false);
    return 0;
  }
  if (received > 0) receiveQueue.Append(buffer, static_cast<size_t>(received));
  return received;
}

int32_t CNetSocket::PendingByteCount() {
  if (socketHandle == -1) return 0;
  uint32_t count = 0;
  if (module_.platform().PendingBytes(socketHandle, &count) == -1) return 0;
  return static_cast<int32_t>(std::min<uint32_t>(count, INT32_MAX));
}

void CNetSocket::DiscardDatagram() {
  if (socketHandle == -1) return;
  uint8_t scratch = 0;
  module_.platform().Recv(socketHandle, &scratch, 1, 0);
  datagramTaken_ = true;
}

void CNetSocket::GetData(Variant& Data, Variant* varType, Variant* maxLen) {
  int32_t available = 0;
  if (protocol == ProtocolTcp) {
    // A temporary holder hands its bytes over in any state.
    if (state != StateConnected && !isAcceptedSocket) {
      FireError(base::kErrWrongState, base::kTextWrongState, "", false, false);
      return;
    }
    available = BytesReceived();
  } else if (state == StateOpen) {
    available = PendingByteCount();
    if (available <= 0) return;
  } else {
    FireError(base::kErrWrongState, base::kTextWrongState, "", false, false);
    return;
  }
  if (Given(maxLen)) {
    if (!maxLen->IsNumeric()) {
      *maxLen = Variant(available);
    } else if (maxLen->ToNumber() < 0) {
      throw base::RaisedError(base::kErrBadArgument, "CNetSocket.GetData", base::kTextBadArgument);
    }
  }
  RecvData(Data, false, varType, maxLen);
}

void CNetSocket::PeekData(Variant& Data, Variant* varType, Variant* maxLen) {
  int32_t available = 0;
  if (protocol == ProtocolTcp) {
    if (state != StateConnected) {
      throw base::RaisedError(base::kErrWrongState, "CNetSocket.PeekData", base::kTextWrongState);
    }
    available = BytesReceived();
  } else if (state == StateOpen) {
    available = PendingByteCount();
    if (available <= 0) return;
  } else {
    throw base::RaisedError(base::kErrWrongState, "CNetSocket.PeekData", base::kTextWrongState);
  }
  if (Given(maxLen)) {
    if (!maxLen->IsNumeric()) {
      *maxLen = Variant(available);
    } else if (maxLen->ToNumber() < 0) {
      throw base::RaisedError(base::kErrBadArgument, "CNetSocket.PeekData", base::kTextBadArgument);
    }
  }
  RecvData(Data, true, varType, maxLen);
}

void CNetSocket::RecvData(Variant& Data, bool peek, Variant* varType, Variant* maxLen) {
  const int32_t available = protocol == ProtocolTcp ? BytesReceived() : PendingByteCount();

  // A variable that already holds a value decides the kind, whatever varType says.
  int32_t kind = vbByteArray;
  if (!Data.IsEmpty()) {
    kind = Data.Type();
    if (Given(varType)) *varType = Variant(kind);
  } else if (Given(varType)) {
    kind = varType->IsNumeric() ? static_cast<int32_t>(WholeNumber(*varType)) : vbError;
  }

  int32_t error = 0;
  if (kind == vbString || kind == vbByteArray) {
    int32_t count = available;
    if (Given(maxLen)) {
      const int64_t limit = WholeNumber(*maxLen);
      if (limit == 0 || available == 0) {
        Data = EmptyOfKind(kind);
        if (protocol != ProtocolTcp) {
          // Also marks the datagram as dealt with: the next one keeps its own notification.
          DiscardDatagram();
          throw modNetSocket::PlatformError(kErrMessageTooLong, "CNetSocket.RecvData");
        }
        return;
      }
      count = static_cast<int32_t>(std::min<int64_t>(limit, available));
    } else if (available == 0) {
      Data = EmptyOfKind(kind);
      return;
    }
    std::vector<uint8_t> bytes = TakeBytes(count, peek, error);
    // A byte array takes the bytes as they are: no second copy per arrival.
    Data = kind == vbByteArray ? Variant(std::move(bytes))
                               : VariantFromBytes(kind, bytes.data(), bytes.size());
  } else if (const size_t size = NumberKindSize(kind); size > 0) {
    // Too few bytes for the number: leave them for a later call.
    if (static_cast<size_t>(available) < size) return;
    const std::vector<uint8_t> bytes = TakeBytes(static_cast<int32_t>(size), peek, error);
    Data = VariantFromBytes(kind, bytes.data(), bytes.size());
  } else {
    throw base::RaisedError(base::kErrUnsupportedType, "CNetSocket.RecvData", base::kTextUnsupportedType);
  }
  if (error != 0) {
    throw modNetSocket::PlatformError(error, "CNetSocket.RecvData");
  }
}

std::vector<uint8_t> CNetSocket::TakeBytes(int32_t n, bool peek, int32_t& error) {
  error = 0;
  const size_t count = n > 0 ? static_cast<size_t>(n) : 0;
  if (protocol == ProtocolTcp) {
    const size_t take = std::min(count, receiveQueue.size());
    std::vector<uint8_t> bytes(receiveQueue.data(), receiveQueue.data() + take);
    if (!peek) {
      receiveQueue.Consume(take);
      if (receiveQueue.empty()) receiveQueue.ReleaseIfLarge();
    }
    return bytes;
  }
  Platform& platform = module_.platform();
  std::vector<uint8_t> bytes(count, 0);
  SockAddrIn from;
  const int received = platform.RecvFrom(socketHandle, bytes.data(), static_cast<int>(count),
                                         peek ? kMsgPeek : 0, &from);
  if (received == -1) {
    // On 10040 the buffer holds the datagram's first n bytes; the rest is gone.
    error = platform.LastError();
    if (!peek && error == kErrMessageTooLong) datagramTaken_ = true;
  } else {
    bytes.resize(static_cast<size_t>(received));
    if (!peek) datagramTaken_ = true;
  }
  StoreRemoteAddress(from);
  return bytes;
}

}  // namespace toruna::net
