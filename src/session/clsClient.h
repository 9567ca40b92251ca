#pragma once
// The server's side of one client connection. This class owns its socket
// object Sock and the events its client created. It cuts frames out of the
// received bytes, registers the client, lets it create, remove and publish its
// events, passes subscription requests to the application and sends frames.
// Held in std::shared_ptr (its subscriptions refer to it weakly). A server holds
// one per connection, so it is kept small: the name is kept as it came on the
// wire, inline when short; the event collection and receive buffer hold no
// memory while empty; what only some clients need (a roster being fed,
// subscriptions, held notices) lives out of line.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "base/ShortBytes.h"
#include "net/SocketEventSink.h"
#include "protocol/FrameAssembler.h"
#include "session/IServerApp.h"
#include "session/KeyedCollection.h"
#include "session/clsEvent.h"

namespace toruna::net {
class CNetSocket;
class modNetSocket;
struct SocketErrorArgs;
}  // namespace toruna::net

namespace toruna::session {

class IServerApp;

// Caption of the system's message boxes.
inline constexpr const char* kAlertCaption = "Toruna";

class clsClient final : public std::enable_shared_from_this<clsClient>, private net::SocketEventSink {
 public:
  // Draws the session's ID from the application's counter, then creates Sock
  // on the dispatcher with its events connected.
  clsClient(IServerApp& app, net::modNetSocket& dispatcher);
  ~clsClient();
  clsClient(const clsClient&) = delete;
  clsClient& operator=(const clsClient&) = delete;

  // Takes the waiting connection over (not once registered).
  void Accept(int32_t RequestID);
  int32_t ID() const { return id_; }
  // Sends a complete frame to this client; on a connection that is gone, departs.
  void Send(std::span<const uint8_t> B);
  // Whether Send of size bytes now would only queue them (see
  // CNetSocket::OnlyQueues), within the limit of unsent bytes.
  bool TakesQuietly(size_t size) const;
  // Send for an announcement about another client (ClientInfo, ClientGone,
  // EventInfo, EventRemove): it may wait a few milliseconds to leave in one write
  // with the next ones, and leaves at once with the next frame that may not wait.
  void SendAnnouncement(std::span<const uint8_t> B);
  // Sends a newcomer the roster, bytes 0 to size of roster: handed to the socket a
  // piece at a time as it drains, so that a large roster neither waits whole in
  // this connection's queue nor counts against its limit. Frames sent meanwhile
  // wait behind it, in order.
  void SendRoster(std::shared_ptr<const std::vector<uint8_t>> roster, size_t size);

  // Subscriptions of this client's events.
  bool HasEvent(int32_t lID) const;
  void AddClientToEvent(clsClient& oClient, int32_t lID, std::span<const uint8_t> B);
  void RemoveClientFromEvent(int32_t lClientID, int32_t lID, bool bGenerate,
                             std::span<const uint8_t> B);

  int32_t EventCount() const { return Events.Count(); }
  // The event at a position from 1; raises 9 outside 1 to EventCount().
  clsEvent& EventO(int32_t Index) const;
  // The client's name (UTF-8), and as it came on the wire (Windows-1252).
  std::string name() const;
  std::span<const uint8_t> WireName() const { return wireName_.Bytes(); }
  bool Registered() const { return registered_; }
  // Ends the connection as a client's misbehaviour does (the server's limits).
  void Close() { Disconnect(); }
  // The events of other clients this client is subscribed to, kept up to date by
  // their owners' sessions, so that its departure visits only those.
  void NoteSubscription(int32_t eventId, bool on);
  std::vector<int32_t> Subscriptions() const;
  // Set by the application: its registry clock when this client registered.
  uint64_t registeredAt = 0;

  // Handlers of Sock's events.
  void Sock_CloseSck() override;
  void Sock_DataArrival(int32_t bytesTotal) override;
  void Sock_Error(net::SocketErrorArgs& e) override;
  void Sock_SendComplete() override;

  // Gives back the buffers the connection is not using now (called now and then
  // by the application, so that idle connections hold none).
  void ReleaseIdleMemory();

  // How far this client is behind in reading: the bytes waiting for it, and the
  // number of times its queue has run dry so far (the server's write deadline
  // closes a connection whose queue has not run dry for a while).
  size_t Unsent() const;
  // Called once a tick: for how many ticks the platform has taken none of the
  // waiting bytes and the queue has not run dry (0 when it ran dry since the
  // last call or is not blocked).
  uint32_t StalledTicks();
  // Reports the unsent bytes as they are now to the application; returns them.
  size_t SyncUnsent();

  // Bytes held and logical capacity of the receive buffer.
  int32_t RecvCount() const;
  int32_t RecvCapacity() const;

  std::shared_ptr<net::CNetSocket> Sock;
  // The events this client created, in creation order, keyed by event ID.
  KeyedCollection<std::shared_ptr<clsEvent>> Events;

 private:
  void Disconnect();
  void RegisterName(std::span<const uint8_t> wireName);
  void BroadcastEvent(int32_t lID, std::span<const uint8_t> B);
  // sName and sUnit as they came on the wire.
  int32_t CreateEvent(int32_t RequestID, int16_t iInterval, int16_t iMax, std::string_view sName,
                      std::string_view sUnit);
  void SendEventState(int32_t lID, uint8_t flag);
  // A notice to the owner that one of its events has a subscriber or none (B:
  // the 9-byte EventSubscribe frame). While the owner is behind in reading, only
  // the latest state of each event is kept, and sent once its queue runs dry:
  // others subscribing and unsubscribing cannot bury an owner in notices.
  void SendNotice(std::span<const uint8_t> B);
  void SendHeldNotices();
  // Every byte for the client goes through here (behind a roster being fed).
  void Write(const uint8_t* data, size_t size, bool mayWait);
  void FeedRoster();

  struct RosterFeed {
    std::shared_ptr<const std::vector<uint8_t>> roster;
    size_t next = 0;
    size_t end = 0;
    std::vector<uint8_t> behind;
    bool feeding = false;
  };

  void ProcessFrames();
  void SendFrame(std::span<const uint8_t> B, bool mayWait);
  void Dispatch(const protocol::FrameView& frame);
  void RelayFollowingValues(int32_t eventId);
  void HandleCreateRequest(const protocol::FrameView& frame);
  void HandleRemoveRequest(const protocol::FrameView& frame, int32_t eventId);
  // Point at which a client that does not read is given up.
  void CheckUnsent();

  struct Rare {
    std::unique_ptr<RosterFeed> feed;
    std::unique_ptr<std::unordered_set<int32_t>> subscriptions;
    // Event ID to the flag of its latest notice, while notices are held.
    std::unique_ptr<std::unordered_map<int32_t, uint8_t>> heldNotices;
  };
  Rare& rare();
  RosterFeed* feed() const { return rare_ ? rare_->feed.get() : nullptr; }
  std::unordered_map<int32_t, uint8_t>* heldNotices() const {
    return rare_ ? rare_->heldNotices.get() : nullptr;
  }

  IServerApp& app_;
  protocol::FrameAssembler recv_;
  base::ShortBytes wireName_;
  int32_t id_;
  uint32_t stalledTicks_ = 0;
  size_t reportedUnsent_ = 0;
  std::unique_ptr<Rare> rare_;  // none until needed; dropped by ReleaseIdleMemory once unused
  bool registered_ = false;
  // The queue ran dry since the last StalledTicks.
  bool drained_ = false;
};

}  // namespace toruna::session
