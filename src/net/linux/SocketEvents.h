#pragma once
// The notification rules of the socket layer's platform, emulated over the level-
// triggered event loop. Each socket has an event selection and arming flags:
// FD_READ (or FD_ACCEPT) is posted once and then only after the next receive (or
// accept) call; FD_WRITE once after a connect or accept completes and then only
// after a send would have blocked; FD_CONNECT and FD_CLOSE once. A graceful close
// is reported only when no received bytes remain. Notifications are queued and
// delivered from the loop in arrival order, never from inside a platform call, and
// each carries the generation of its socket so that one queued for a closed socket
// never reaches a new socket that got the same number.
// An accept that fails for want of descriptors (or memory) parks its listener: its
// FD_ACCEPT is not armed again, so the connections waiting in its queue (which stay
// there, untouched) cannot keep the loop busy, until a socket here is released or,
// for descriptors freed elsewhere, a retry a fifth of a second later.
// A socket gets its place in the event set when its events are selected (or as it
// is accepted); a refusal then is the selection's (or the accept's) failure.
// This class does not own the descriptors; LinuxPlatform opens and closes them.

#include <cstdint>
#include <deque>
#include <memory>
#include <vector>

#include "loop/EventLoop.h"
#include "net/Platform.h"

namespace toruna::net {

class SocketEvents : private loop::FdHandler {
 public:
  explicit SocketEvents(loop::EventLoop& loop);
  ~SocketEvents();
  SocketEvents(const SocketEvents&) = delete;
  SocketEvents& operator=(const SocketEvents&) = delete;

  void SetSink(NotificationSink* sink) { sink_ = sink; }

  // A socket comes (created or accepted) and goes (closed).
  void Track(int fd, bool stream);
  void Forget(int fd);
  bool Tracked(int fd) const;
  bool IsStream(int fd) const;
  // The errno of the failure (a reset) that ended a connection, once a notification
  // has taken it from the socket; 0 when there was none. Reading a socket's pending
  // error clears it, so the calls that follow must be told what it was.
  int Failure(int fd) const;
  std::vector<int> TrackedSockets() const;

  // False (errno set) when the event set refuses the socket.
  bool Select(int fd, uint16_t mask);

  // What the platform calls did, as far as notifications are concerned.
  void Listening(int fd);
  void ConnectStarted(int fd);
  void ConnectedAtOnce(int fd);
  // took: the accept gave a connection; shortage: it failed for want of
  // descriptors or memory.
  void AcceptCalled(int listenFd, bool took, bool shortage);
  // False (errno set) when the event set refuses the new socket.
  bool Accepted(int listenFd, int newFd);
  void ReceiveCalled(int fd);
  void SendBlocked(int fd);

  // Lookup completions share the queue so that everything arrives in order.
  void PostLookup(int32_t request, uint16_t error, uint32_t addr);
  // Drops a queued lookup completion; false when none was queued.
  bool DropLookup(int32_t request);

 private:
  enum class Phase : uint8_t { kIdle, kListening, kConnecting, kConnected, kFailed };
  // Sixteen bytes a socket, in a table indexed by descriptor: a server keeps one
  // per connection.
  struct Socket {
    uint32_t generation = 0;  // 0: not tracked
    int failure = 0;          // errno that ended the connection, taken from the socket
    uint16_t mask = 0;
    Phase phase = Phase::kIdle;
    bool stream : 1 = true;
    bool readArmed : 1 = true;    // FD_READ / FD_ACCEPT may be posted
    bool readLazy : 1 = false;    // disarmed, but the read interest is dropped only when it fires
    bool writeArmed : 1 = false;  // FD_WRITE waits for room to send
    bool closeDone : 1 = false;   // FD_CLOSE posted, or nothing more to say about the close
    bool closeHeld : 1 = false;   // peer closed with bytes unread and FD_READ disarmed
    bool parked : 1 = false;      // listener waiting for descriptors to take its connections
    // FD_ACCEPTs posted at once after an accept, since the loop last reported the
    // listener (see AcceptCalled).
    uint8_t acceptBurst = 0;
  };
  struct Item {
    bool lookup = false;
    int32_t handle = 0;
    uint32_t generation = 0;
    uint16_t event = 0;
    uint16_t error = 0;
    uint32_t addr = 0;
  };

  Socket* Find(int fd);
  const Socket* Find(int fd) const;
  int FdOf(const Socket& s) const;
  // FdHandler: readiness of a tracked socket.
  void OnFdReady(int fd, uint32_t ready) override;
  void OnConnectReady(Socket& s, uint32_t ready);
  void OnStreamReady(Socket& s, uint32_t ready);
  void OnDatagramReady(Socket& s, uint32_t ready);
  void PostRead(Socket& s, uint16_t event);
  void PostFirstWrite(Socket& s);
  void Post(const Socket& s, uint16_t event, uint16_t error);
  void UpdateInterest(Socket& s);
  void ScheduleDrain();
  void Drain();
  void Park(Socket& s);
  void WakeParked();

  loop::EventLoop& loop_;
  NotificationSink* sink_ = nullptr;
  uint32_t nextGeneration_ = 1;
  std::vector<Socket> sockets_;  // indexed by descriptor
  std::deque<Item> queue_;
  bool drainScheduled_ = false;
  std::vector<int> parked_;            // listeners parked for want of descriptors
  loop::EventLoop::TimerId retryTimer_ = 0;  // while listeners are parked
  // Deferred work and deliveries check this to notice that the object has gone.
  std::shared_ptr<char> alive_;
};

}  // namespace toruna::net
