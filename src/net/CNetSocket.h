#pragma once
// A non-blocking TCP or UDP socket object with states, properties, methods and
// events. Owners set the On* handlers, or give the object a SocketEventSink;
// events fire synchronously on the loop's thread, from notifications or from
// inside the members that raise them.
// Objects live in shared_ptr (Create); the dispatcher refers to them by address
// only, and a delivery keeps its object alive until it returns.
// A server holds one per connection, so the object is kept small: what only some
// objects use (the On* handlers, a tag, a host name, lookups) lives out of line.

#include <chrono>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "base/ByteQueue.h"
#include "net/EventSlot.h"
#include "net/KeepAlive.h"
#include "net/Platform.h"
#include "net/SocketEventSink.h"
#include "net/Variant.h"

namespace toruna::net {

class modNetSocket;

enum SocketState : int32_t {
  StateClosed = 0,
  StateOpen = 1,
  StateListening = 2,
  StateConnectionPending = 3,
  StateResolvingHost = 4,
  StateHostResolved = 5,
  StateConnecting = 6,
  StateConnected = 7,
  StateClosing = 8,
  StateError = 9,
};

enum SocketProtocol : int32_t {
  ProtocolTcp = 0,
  ProtocolUdp = 1,
};

// Arguments of the Error event; handlers may change Description and CancelDisplay.
struct SocketErrorArgs {
  int32_t Number = 0;
  std::string Description;
  int32_t sCode = 0;
  std::string Source;
  std::string HelpFile;
  int32_t HelpContext = 0;
  bool CancelDisplay = true;
};

class CNetSocket : public std::enable_shared_from_this<CNetSocket> {
 public:
  // A new object on the given dispatcher.
  static std::shared_ptr<CNetSocket> Create(modNetSocket& dispatcher);
  ~CNetSocket();
  CNetSocket(const CNetSocket&) = delete;
  CNetSocket& operator=(const CNetSocket&) = delete;

  // Events, in their fixed order 1 to 7. They are not called while a sink is set.
  struct Handlers {
    EventSlot<void()> OnCloseSck;
    EventSlot<void()> OnConnect;
    EventSlot<void(int32_t RequestID)> OnConnectionRequest;
    EventSlot<void(int32_t bytesTotal)> OnDataArrival;
    EventSlot<void(SocketErrorArgs& e)> OnError;
    EventSlot<void()> OnSendComplete;
    EventSlot<void(int32_t bytesSent, int32_t bytesRemaining)> OnSendProgress;
  };
  // The On* handlers, made on first use: sock->On().OnDataArrival = ...
  Handlers& On() { return rare().handlers; }
  // Sends every event to sink instead (nullptr: back to the On* handlers). The
  // owner keeps the sink alive while it is set.
  void SetEventSink(SocketEventSink* sink) { sink_ = sink; }

  // Properties.
  int32_t RemotePort() const;
  void SetRemotePort(int32_t lngPort);
  std::string RemoteHost() const;
  void SetRemoteHost(const std::string& strHost);
  std::string RemoteHostIP() const;
  int32_t LocalPort() const;
  void SetLocalPort(int32_t lngPort);
  SocketState State() const { return state; }
  std::string LocalHostName();
  std::string LocalIP();
  int32_t BytesReceived();
  int32_t SocketHandle() const;
  std::string Tag() const;
  void SetTag(const std::string& strTag);
  int32_t Protocol() const;
  void SetProtocol(int32_t enmProtocol);

  // Methods.
  void CloseSck();
  void Connect(const Variant& RemoteHost = Variant::Missing(),
               const Variant& RemotePort = Variant::Missing());
  void Bind(const Variant& LocalPort = Variant::Missing(),
            const Variant& LocalIP = Variant::Missing());
  void SendData(const Variant& Data);
  // SendData of an array of Byte, without building a Variant.
  void SendBytes(const uint8_t* data, size_t count) {
    if (JoinsPendingHandOver(count, false)) {
      sendQueue.Append(data, count);
      return;
    }
    SendBytesNow(data, count, false);
  }
  // Whether SendBytes of count bytes now would only add them to the queue, behind
  // a hand-over already scheduled or one that waits for room: no platform call,
  // no event.
  bool OnlyQueues(size_t count) const {
    if (state != StateConnected || protocol != ProtocolTcp || !coalesceSends_ || count == 0 ||
        count >= kDirectHandOverSize) {
      return false;
    }
    return sendBlocked_ || JoinsPendingHandOver(count, false);
  }
  // SendBytes for bytes that may wait: with coalesced sends on, they are handed to
  // the platform up to kSendLaterDelay later, together with whatever is sent
  // meanwhile, unless a SendBytes or SendData comes first (they then leave with it,
  // in order). Without coalescing, or where the dispatcher has no timer, SendBytes.
  void SendBytesLater(const uint8_t* data, size_t count) {
    if (JoinsPendingHandOver(count, true)) {
      sendQueue.Append(data, count);
      return;
    }
    SendBytesNow(data, count, true);
  }
  static constexpr std::chrono::microseconds kSendLaterDelay{1000};
  // SendBytes (or SendBytesLater when mayWait) for a large piece of bytes the
  // caller holds anyway (a roster, a long run of announcements): with coalesced
  // sends on and nothing queued, a piece of kDirectHandOverSize bytes or more is
  // handed to the platform at once from the caller's bytes, because it needs no
  // company to fill a write and copying it into the queue cost more than the
  // write. What the platform does not take is queued, and the events fire as for
  // a hand-over of the queue.
  void SendPiece(const uint8_t* data, size_t count, bool mayWait) {
    if (count >= kDirectHandOverSize && coalesceSends_ && protocol == ProtocolTcp && sendQueue.empty() &&
        !sendBlocked_ && state == StateConnected) {
      HandOverDirectly(data, count);
    } else if (mayWait) {
      SendBytesLater(data, count);
    } else {
      SendBytes(data, count);
    }
  }
  static constexpr size_t kDirectHandOverSize = 4096;
  void GetData(Variant& Data, Variant* varType = nullptr, Variant* maxLen = nullptr);
  void PeekData(Variant& Data, Variant* varType = nullptr, Variant* maxLen = nullptr);
  bool Listen();
  void Accept(int32_t RequestID);

  // Entry of the dispatcher: uMsg modNetSocket::kMsgResolveDone (wParam the
  // request, upper 16 bits of lParam the error) or kMsgSocketNotify (wParam the
  // socket, lower 16 bits of lParam the event, upper 16 bits the error).
  void WndProc(int32_t hWnd, int32_t uMsg, int32_t wParam, int32_t lParam);

  // Number of bytes accepted by SendData and not yet handed to the platform.
  size_t UnsentByteCount() const { return sendQueue.size(); }
  // Whether the platform has taken no more of the queue and FD_WRITE is awaited.
  bool SendBlocked() const { return sendBlocked_; }

  // TCP: the bytes received and not yet taken, and taking the first count of them:
  // GetData of an array of Byte without a Variant, for owners that read the stream
  // themselves. The view is valid until the next call on the object.
  std::span<const uint8_t> ReceivedBytes() const { return {receiveQueue.data(), receiveQueue.size()}; }
  void DiscardReceived(size_t count) {
    receiveQueue.Consume(count);
    if (receiveQueue.empty()) receiveQueue.ReleaseIfLarge();
  }

  // Gives back the buffers of the send and receive queues while they are empty. A
  // busy connection keeps them from one batch to the next; an owner of many
  // connections calls this now and then, so that idle ones hold none.
  void ReleaseIdleMemory();

  // Coalesced sends (TCP; off by default). With it on, the bytes of every send made
  // while the loop handles one batch of notifications are handed to the platform
  // together once the batch is over, or at once when kCoalesceFlushSize bytes wait;
  // SendProgress and SendComplete fire when that hand-over runs. A close or release
  // of the object hands over first what it was still to send. UDP ignores it: each
  // send stays one datagram.
  void SetCoalesceSends(bool on) { coalesceSends_ = on; }
  bool CoalesceSends() const { return coalesceSends_; }
  static constexpr size_t kCoalesceFlushSize = 65536;

  // TCP_NODELAY on the connection: small writes leave at once instead of waiting
  // for the peer's acknowledgement. Kept for sockets the object sets up later;
  // on a listener, set before it listens, so that accepted connections carry it.
  // False when the platform refused the option on the current socket.
  bool SetNoDelay(bool on);
  bool NoDelay() const { return noDelay_; }

  // Keepalive and the user timeout on the current TCP connection (not kept for a
  // later one: set it once connected or accepted). False when there is no TCP
  // connection or the platform refused an option; the others are set all the same.
  bool SetKeepAlive(const KeepAlive& settings);

 protected:
  // Only Create makes objects.
  explicit CNetSocket(modNetSocket& dispatcher);

 private:

  // What few objects use: made on first use and kept.
  struct Rare {
    Handlers handlers;
    std::string tag;
    std::string remoteHost;
    std::string localIP;  // the bound address as given or found; read while open or listening
    // Request handle and purpose of each outstanding lookup.
    std::vector<std::pair<int32_t, int32_t>> pendingLookups;
  };

  modNetSocket& module_;
  SocketEventSink* sink_ = nullptr;
  std::unique_ptr<Rare> rare_;
  base::ByteQueue sendQueue;
  base::ByteQueue receiveQueue;

  // Fields, in their declared order and with their initial values (the strings in
  // rare_; the remote address is kept as a number and given as text on request).
  int32_t socketHandle = -1;
  SocketState state = StateClosed;
  int32_t remotePort = 0;
  uint32_t remoteAddress_ = 0;  // RemoteHostIP, when remoteAddressSet_
  int32_t localPort = 0;
  int32_t boundLocalPort = 0;
  int32_t protocol = ProtocolTcp;
  int32_t sendBufferSize = 0;
  int32_t receiveBufferSize = 0;
  bool remoteAddressSet_ : 1 = false;
  bool lookupBufferAllocated : 1 = false;  // stands for the lookup buffer and its handle
  bool isAcceptedSocket : 1 = false;
  // Whether the owner disposed of the waiting datagram during a UDP DataArrival:
  // set by a non-peek UDP receive (TakeBytes without peek, and DiscardDatagram).
  // PostSocket clears it before the event and discards a datagram only if unset.
  bool datagramTaken_ : 1 = false;
  // The socket of socketHandle was bound by BindInternal.
  bool socketBound_ : 1 = false;
  // A listener's accepts fail for want of descriptors or memory (reported once).
  bool acceptShortage_ : 1 = false;
  bool coalesceSends_ : 1 = false;
  bool noDelay_ : 1 = false;
  // A listener's socket carries TCP_NODELAY for the connections it accepts.
  bool noDelayPassedOn_ : 1 = false;
  // A hand-over is deferred to the end of the batch (the FlushScheduler will call
  // DeferredFlush).
  bool flushScheduled_ : 1 = false;
  // Bytes that may wait are to be handed over by the FlushScheduler's timer (LateFlush).
  bool lateScheduled_ : 1 = false;
  // The last hand-over stopped because the platform would block: FD_WRITE resumes.
  bool sendBlocked_ : 1 = false;

  Rare& rare();
  const std::string& RareText(std::string Rare::*field) const;
  // Makes rare_ only for a text that is not empty.
  void SetRareText(std::string Rare::*field, std::string text);
  void SetRemoteAddress(uint32_t address);
  void ClearRemoteAddress();

  // An event: to the sink when one is set, else to the On* member.
  template <typename... Params, typename... Args>
  void Fire(void (SocketEventSink::*toSink)(Params...), EventSlot<void(Params...)> Handlers::*slot,
            Args&&... args) {
    if (sink_ != nullptr) {
      (sink_->*toSink)(std::forward<Args>(args)...);
    } else if (rare_) {
      (rare_->handlers.*slot)(std::forward<Args>(args)...);
    }
  }

  // Error event of the layer: fires the Error event with CancelDisplay starting as given;
  // when allowBox and the handlers leave CancelDisplay false, the alert service
  // shows Description with Source as caption.
  void FireError(int32_t number, const std::string& description, const std::string& source,
                 bool cancelDisplay, bool allowBox);

  // Core (CNetSocket.cpp).
  void DestroySocket();
  bool SocketExists();
  // Addressing and connecting (CNetSocketConnect.cpp).
  bool BindInternal(const Variant& LocalPort, const Variant& LocalIP);
  uint32_t ResolveHostNow(const std::string& host, std::string& dotted, int32_t& error);
  int32_t QueryBoundPort(int32_t handle);
  std::string GetLocalHostName();
  std::string GetLocalIP();
  uint32_t ResolveIfHostname(const std::string& host, int32_t purpose);
  void ConnectToIP(uint32_t address, int32_t error);
  bool AllocateResolveBuffer();
  void FreeResolveBuffer();
  void CancelPendingLookups();
  // Notifications (CNetSocketEvents.cpp).
  void PostSocket(int32_t event, int32_t error);
  void CompleteLookup(int32_t request, int32_t error);
  // Send path (CNetSocketSend.cpp).
  void FlushSendQueue();
  void SendBufferedData();
  void SendBufferedDataUDP();
  // noDelayCarried: the connection has TCP_NODELAY already (from its listener).
  void ProcessOptions(bool noDelayCarried = false);
  void QueueBytes(const uint8_t* data, size_t count, bool mayWait);  // SendData steps 3 and 4
  void SendBytesNow(const uint8_t* data, size_t count, bool mayWait);
  // Whether count bytes sent now only join a hand-over already scheduled (the usual
  // case within a batch, kept inline): what QueueBytes would do then, and nothing else.
  bool JoinsPendingHandOver(size_t count, bool mayWait) const {
    return state == StateConnected && protocol == ProtocolTcp && coalesceSends_ && !sendBlocked_ &&
           count != 0 && sendQueue.size() + count < kCoalesceFlushSize &&
           (flushScheduled_ || (mayWait && lateScheduled_));
  }
  void HandOverDirectly(const uint8_t* data, size_t count);
  void DeferredFlush();     // the end-of-batch hand-over, run by the FlushScheduler
  void LateFlush();         // the hand-over of bytes that waited, run by the FlushScheduler
  void FlushIfStillDue();   // what both do once they find their hand-over still due
  void FlushBeforeClose();  // hands a deferred hand-over's bytes over without events
  bool SendReady();                                     // SendData step 1
  // Receive path (CNetSocketReceive.cpp).
  int32_t ReceiveIntoQueue();
  int32_t PendingByteCount();
  void DiscardDatagram();
  void RecvData(Variant& Data, bool peek, Variant* varType, Variant* maxLen);
  std::vector<uint8_t> TakeBytes(int32_t n, bool peek, int32_t& error);
  // Listening and accepting (CNetSocketAccept.cpp).
  bool ReadPeerAddress(int32_t handle);
  void StoreRemoteAddress(const SockAddrIn& address);

  friend class modNetSocket;
  friend class FlushScheduler;
};

}  // namespace toruna::net
