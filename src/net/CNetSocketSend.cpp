// The send path: values become bytes in sendQueue; TCP hands the queue to the
// platform in chunks of at most sendBufferSize and reports only at the end of a
// hand-over or at a would-block; UDP sends the whole queue as one datagram.
// Events may re-enter SendData or CloseSck, so every loop re-reads the queue.

#include <algorithm>
#include <climits>
#include <memory>
#include <vector>

#include "base/RaisedError.h"
#include "net/CNetSocket.h"
#include "net/VariantBytes.h"
#include "net/modNetSocket.h"

namespace toruna::net {

void CNetSocket::SendData(const Variant& Data) {
  if (!SendReady()) return;
  std::vector<uint8_t> bytes;
  if (!AppendVariantBytes(Data, bytes)) {
    throw base::RaisedError(base::kErrUnsupportedType, "CNetSocket.SendData", base::kTextUnsupportedType);
  }
  if (bytes.empty()) return;
  QueueBytes(bytes.data(), bytes.size(), false);
}

void CNetSocket::SendBytesNow(const uint8_t* data, size_t count, bool mayWait) {
  if (!SendReady()) return;
  if (count == 0) return;
  QueueBytes(data, count, mayWait);
}

bool CNetSocket::SendReady() {
  if (protocol == ProtocolTcp) return state == StateConnected;
  // A UDP object needs no Bind before its first send.
  if (!SocketExists()) return false;
  if (!BindInternal(Variant::Missing(), Variant::Missing())) return false;
  state = StateOpen;
  return true;
}

void CNetSocket::QueueBytes(const uint8_t* data, size_t count, bool mayWait) {
  const bool wasEmpty = sendQueue.empty();
  sendQueue.Append(data, count);
  if (coalesceSends_ && protocol == ProtocolTcp) {
    // A blocked hand-over is resumed by FD_WRITE, which takes these bytes too.
    if (sendBlocked_) return;
    if (sendQueue.size() >= kCoalesceFlushSize) {
      FlushSendQueue();
      return;
    }
    // One queue keeps the order: bytes that may wait leave with the next bytes
    // that may not, and those take everything queued before them.
    if (flushScheduled_) return;
    if (mayWait) {
      if (lateScheduled_) return;
      if (module_.Flushes().Later(*this)) {
        lateScheduled_ = true;
        return;
      }
      // No timer: they leave at the end of the batch.
    }
    if (module_.Flushes().AtEndOfBatch(*this)) {
      flushScheduled_ = true;
      return;
    }
    // A dispatcher that cannot defer work gets the immediate hand-over.
  } else if (!wasEmpty) {
    // A non-empty queue means a hand-over waits (for FD_WRITE, or for the end of
    // the batch); it takes these bytes too.
    return;
  }
  FlushSendQueue();
}

void CNetSocket::DeferredFlush() {
  if (!flushScheduled_) return;
  flushScheduled_ = false;
  FlushIfStillDue();
}

void CNetSocket::FlushIfStillDue() {
  if (sendQueue.empty() || sendBlocked_ || socketHandle == -1) return;
  // The bytes were accepted while connected; a peer's close seen since then does
  // not take them back, a failure of the object does.
  if (state != StateConnected && state != StateClosing) return;
  FlushSendQueue();
}

void CNetSocket::LateFlush() {
  if (!lateScheduled_) return;
  lateScheduled_ = false;
  // An end-of-batch hand-over is due anyway and takes these bytes.
  if (flushScheduled_) return;
  FlushIfStillDue();
}

void CNetSocket::FlushBeforeClose() {
  if (!flushScheduled_ && !lateScheduled_) return;
  flushScheduled_ = false;
  lateScheduled_ = false;
  if (sendBlocked_ || socketHandle == -1) return;
  if (state != StateConnected && state != StateClosing) return;
  // Without coalescing these bytes would have reached the platform before the
  // close. The owner is closing: it hears nothing more, and whatever the platform
  // does not take now is discarded, as a would-block's rest is on a close.
  Platform& platform = module_.platform();
  while (!sendQueue.empty()) {
    size_t n = std::min<size_t>(sendQueue.size(), INT_MAX);
    if (sendBufferSize > 0) n = std::min<size_t>(n, static_cast<size_t>(sendBufferSize));
    const int result = platform.Send(socketHandle, sendQueue.data(), static_cast<int>(n));
    if (result <= 0) break;
    sendQueue.Consume(static_cast<size_t>(result));
  }
}

bool CNetSocket::SetNoDelay(bool on) {
  noDelay_ = on;
  if (socketHandle == -1 || protocol != ProtocolTcp) return true;
  return module_.platform().SetSockOpt(socketHandle, kIpProtoTcp, kTcpNoDelay, on ? 1 : 0) != -1;
}

bool CNetSocket::SetKeepAlive(const KeepAlive& settings) {
  if (socketHandle == -1 || protocol != ProtocolTcp) return false;
  return ApplyKeepAlive(settings);
}

void CNetSocket::SetKeepAliveForAccepted(const KeepAlive& settings) {
  rare().acceptedKeepAlive = settings;
  rare().keepAlivePassedOn = false;
}

bool CNetSocket::PassesOnKeepAlive(const KeepAlive& settings) const {
  return state == StateListening && rare_ && rare_->keepAlivePassedOn && rare_->acceptedKeepAlive == settings;
}

bool CNetSocket::ApplyKeepAlive(const KeepAlive& settings) {
  Platform& platform = module_.platform();
  auto set = [&](int level, int option, int32_t value) {
    return platform.SetSockOpt(socketHandle, level, option, value) != -1;
  };
  bool ok = set(kSolSocket, kSoKeepAlive, settings.idleSeconds > 0 ? 1 : 0);
  if (settings.idleSeconds > 0) {
    ok = set(kIpProtoTcp, kTcpKeepIdle, settings.idleSeconds) && ok;
    if (settings.intervalSeconds > 0) {
      ok = set(kIpProtoTcp, kTcpKeepIntvl, settings.intervalSeconds) && ok;
    }
    if (settings.probes > 0) ok = set(kIpProtoTcp, kTcpKeepCnt, settings.probes) && ok;
  }
  const int64_t timeoutMs = int64_t{settings.userTimeoutSeconds > 0 ? settings.userTimeoutSeconds : 0} * 1000;
  ok = set(kIpProtoTcp, kTcpUserTimeout, static_cast<int32_t>(std::min<int64_t>(timeoutMs, INT32_MAX))) && ok;
  return ok;
}

void CNetSocket::FlushSendQueue() {
  // Handlers of the events below may drop the owner's last reference.
  std::shared_ptr<CNetSocket> keepAlive = weak_from_this().lock();
  if (protocol == ProtocolTcp) {
    SendBufferedData();
  } else {
    SendBufferedDataUDP();
  }
}

void CNetSocket::SendBufferedData() {
  Platform& platform = module_.platform();
  int32_t sent = 0;
  int result = 0;
  sendBlocked_ = false;
  while (!sendQueue.empty() && result != -1) {
    size_t n = std::min<size_t>(sendQueue.size(), INT_MAX);
    // A chunk size of 0 would never make progress; hand over the whole queue instead.
    if (sendBufferSize > 0) n = std::min<size_t>(n, static_cast<size_t>(sendBufferSize));
    result = platform.Send(socketHandle, sendQueue.data(), static_cast<int>(n));
    if (result != -1) {
      sent += result;
      if (static_cast<size_t>(result) >= sendQueue.size()) {
        // A small buffer stays for the next batch; idle connections give it back
        // through ReleaseIdleMemory.
        sendQueue.Clear();
        sendQueue.ReleaseIfLarge();
        const int32_t reported = sent;
        sent = 0;
        Fire(&SocketEventSink::Sock_SendProgress, &Handlers::OnSendProgress, reported, 0);
        Fire(&SocketEventSink::Sock_SendComplete, &Handlers::OnSendComplete);
      } else {
        sendQueue.Consume(static_cast<size_t>(result));
        // Nothing taken although the socket reported room: treat it as a
        // would-block and wait for FD_WRITE rather than spin.
        if (result == 0) {
          sendBlocked_ = true;
          if (sent > 0) {
            Fire(&SocketEventSink::Sock_SendProgress, &Handlers::OnSendProgress, sent,
                 static_cast<int32_t>(sendQueue.size()));
          }
          break;
        }
      }
    } else {
      const int code = platform.LastError();
      if (code == kErrWouldBlock) {
        sendBlocked_ = true;
        if (sent > 0) {
          Fire(&SocketEventSink::Sock_SendProgress, &Handlers::OnSendProgress, sent,
               static_cast<int32_t>(sendQueue.size()));
        }
      } else {
        state = StateError;
        FireError(code, modNetSocket::WinsockErrorText(code), "CNetSocket.SendBufferedData",
                  true, true);
      }
    }
  }
}

void CNetSocket::HandOverDirectly(const uint8_t* data, size_t count) {
  // Handlers of the events below may drop the owner's last reference.
  std::shared_ptr<CNetSocket> keepAlive = weak_from_this().lock();
  Platform& platform = module_.platform();
  size_t sent = 0;
  while (sent < count) {
    size_t n = std::min<size_t>(count - sent, INT_MAX);
    if (sendBufferSize > 0) n = std::min<size_t>(n, static_cast<size_t>(sendBufferSize));
    const int result = platform.Send(socketHandle, data + sent, static_cast<int>(n));
    if (result == -1) {
      const int code = platform.LastError();
      if (code == kErrWouldBlock) break;
      state = StateError;
      FireError(code, modNetSocket::WinsockErrorText(code), "CNetSocket.SendBufferedData", true, true);
      return;
    }
    // Nothing taken although the socket reported room: a would-block, as in SendBufferedData.
    if (result == 0) break;
    sent += static_cast<size_t>(result);
  }
  if (sent == count) {
    Fire(&SocketEventSink::Sock_SendProgress, &Handlers::OnSendProgress, static_cast<int32_t>(sent), 0);
    Fire(&SocketEventSink::Sock_SendComplete, &Handlers::OnSendComplete);
    return;
  }
  // The rest waits in the queue for FD_WRITE, as a would-block's rest does.
  sendQueue.Append(data + sent, count - sent);
  sendBlocked_ = true;
  if (sent > 0) {
    Fire(&SocketEventSink::Sock_SendProgress, &Handlers::OnSendProgress, static_cast<int32_t>(sent),
         static_cast<int32_t>(sendQueue.size()));
  }
}

void CNetSocket::SendBufferedDataUDP() {
  Platform& platform = module_.platform();
  std::string dotted;
  int32_t error = 0;
  const uint32_t address = ResolveHostNow(RareText(&Rare::remoteHost), dotted, error);
  if (error != 0) {
    sendQueue.Clear();
    if (error == kErrAddressFamily) {
      throw modNetSocket::PlatformError(kErrAddressFamily, "CNetSocket.SendBufferedDataUDP");
    }
    throw base::RaisedError(base::kErrBadArgument, "CNetSocket.SendBufferedDataUDP",
                            base::kTextInvalidArgument);
  }
  SockAddrIn to;
  to.addr = address;
  to.port = static_cast<uint16_t>(PortToWord(remotePort));

  // The queue is emptied before the send: a failed datagram is lost, not retried.
  std::vector<uint8_t> datagram(sendQueue.data(), sendQueue.data() + sendQueue.size());
  sendQueue.Clear();
  const int len = static_cast<int>(std::min<size_t>(datagram.size(), INT_MAX));
  if (platform.SendTo(socketHandle, datagram.data(), len, to) == -1) {
    // Only this datagram failed (its destination, its size): the socket itself is
    // as good as before and stays open, so that it goes on receiving and sending.
    const int code = platform.LastError();
    FireError(code, modNetSocket::WinsockErrorText(code), "CNetSocket.SendBufferedDataUDP",
              true, true);
  }
}

void CNetSocket::ProcessOptions(bool noDelayCarried) {
  Platform& platform = module_.platform();
  int32_t value = 0;
  auto raise = [&platform]() {
    const int code = platform.LastError();
    throw modNetSocket::PlatformError(code, "CNetSocket.ProcessOptions");
  };
  if (protocol != ProtocolTcp) {
    platform.SetSockOpt(socketHandle, kSolSocket, kSoBroadcast, 1);
    if (platform.GetSockOpt(socketHandle, kSolSocket, kSoMaxMsgSize, &value) == -1) raise();
    receiveBufferSize = value;
    sendBufferSize = value;
    return;
  }
  if (platform.GetSockOpt(socketHandle, kSolSocket, kSoRcvBuf, &value) == -1) raise();
  receiveBufferSize = value;
  if (platform.GetSockOpt(socketHandle, kSolSocket, kSoSndBuf, &value) == -1) raise();
  sendBufferSize = value;
  // Best effort: a connection that keeps Nagle's delay still works.
  if (noDelay_ != noDelayCarried) platform.SetSockOpt(socketHandle, kIpProtoTcp, kTcpNoDelay, noDelay_ ? 1 : 0);
}

}  // namespace toruna::net
