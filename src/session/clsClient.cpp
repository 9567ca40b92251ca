#include "session/clsClient.h"

#include <algorithm>
#include <array>
#include <optional>
#include <vector>

#include "base/AlertService.h"
#include "base/Cp1252.h"
#include "net/CNetSocket.h"
#include "net/Variant.h"
#include "protocol/Frame.h"
#include "protocol/FrameAssembler.h"
#include "session/IServerApp.h"

namespace toruna::session {

// One per connection, in a pool block with its shared count (16 bytes): 144
// bytes keep it in the 160-byte class; the next field would cost 16 a client.
static_assert(sizeof(clsClient) <= 144, "clsClient outgrows its pool class");

namespace {

std::string_view AsChars(std::span<const uint8_t> bytes) {
  return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}

// An owner with this many bytes waiting is behind: its notices are held (SendNotice).
constexpr size_t kHoldNoticesAbove = 16384;
// A roster is handed to the socket in pieces of this size, the next when it drains.
constexpr size_t kRosterPiece = 32768;

}  // namespace

clsClient::clsClient(IServerApp& app, net::modNetSocket& dispatcher)
    : app_(app), id_(app.NewID()) {
  Sock = net::CNetSocket::Create(dispatcher);
  // Frames sent while the loop handles one batch leave in one write, at once.
  Sock->SetCoalesceSends(true);
  Sock->SetNoDelay(true);
  // Cleared in the destructor, so the socket never calls a session that has gone.
  Sock->SetEventSink(this);
}

clsClient::~clsClient() {
  Sock->SetEventSink(nullptr);
  Sock->CloseSck();
}

void clsClient::Accept(int32_t RequestID) {
  if (registered_) return;
  recv_.Reset();
  Sock->Accept(RequestID);
}

void clsClient::Send(std::span<const uint8_t> B) { SendFrame(B, false); }

void clsClient::SendAnnouncement(std::span<const uint8_t> B) { SendFrame(B, true); }

void clsClient::SendFrame(std::span<const uint8_t> B, bool mayWait) {
  if (Sock->State() != net::StateConnected) {
    Disconnect();
    return;
  }
  if (B.empty() || B[0] != protocol::kFrameMarker) {
    base::AlertService::Current().Alert("KAKAAAAAAAAAAAAA", kAlertCaption);
  }
  Write(B.data(), B.size(), mayWait);
  CheckUnsent();
}

bool clsClient::TakesQuietly(size_t size) const {
  return feed() == nullptr && Sock->OnlyQueues(size) &&
         Sock->UnsentByteCount() + size <= app_.UnsentLimit();
}

void clsClient::Write(const uint8_t* data, size_t size, bool mayWait) {
  if (RosterFeed* feed = this->feed()) {
    feed->behind.insert(feed->behind.end(), data, data + size);
  } else {
    Sock->SendPiece(data, size, mayWait);
  }
}

void clsClient::SendRoster(std::shared_ptr<const std::vector<uint8_t>> roster, size_t size) {
  if (Sock->State() != net::StateConnected) {
    Disconnect();
    return;
  }
  if (feed() != nullptr || size <= kRosterPiece) {
    Send(std::span<const uint8_t>(roster->data(), size));
    return;
  }
  auto feed = std::make_unique<RosterFeed>();
  feed->roster = std::move(roster);
  feed->end = size;
  rare().feed = std::move(feed);
  FeedRoster();
}

void clsClient::FeedRoster() {
  // A hand-over may run dry at once and call back in here (SendComplete).
  if (feed() == nullptr || feed()->feeding) return;
  feed()->feeding = true;
  while (feed() != nullptr && Sock->UnsentByteCount() < kRosterPiece) {
    if (Sock->State() != net::StateConnected) {
      rare_->feed.reset();
      return;
    }
    RosterFeed& feed = *this->feed();
    if (feed.next < feed.end) {
      const size_t n = std::min(kRosterPiece, feed.end - feed.next);
      const size_t at = feed.next;
      feed.next += n;
      // Held by the feed until the end: the platform may take it from there.
      Sock->SendPiece(feed.roster->data() + at, n, false);
    } else {
      // The roster is out: what waited behind it follows, and sends go straight on.
      std::unique_ptr<RosterFeed> done = std::move(rare_->feed);
      if (!done->behind.empty()) Sock->SendBytes(done->behind.data(), done->behind.size());
    }
  }
  if (RosterFeed* feed = this->feed()) feed->feeding = false;
}

std::string clsClient::name() const { return base::Cp1252::ToUtf8(wireName_.View()); }

bool clsClient::HasEvent(int32_t lID) const {
  const std::shared_ptr<clsEvent>* event = Events.Find(lID);
  return event != nullptr && (*event)->ID() > 0;
}

void clsClient::AddClientToEvent(clsClient& oClient, int32_t lID, std::span<const uint8_t> B) {
  const std::shared_ptr<clsEvent>* found = Events.Find(lID);
  if (found == nullptr) {
    base::AlertService::Current().Alert("Client konnte nicht zur Event liste hinzugefühgt werden",
                                        kAlertCaption);
    return;
  }
  std::shared_ptr<clsEvent> event = *found;
  event->AddClient(oClient);
  oClient.NoteSubscription(lID, true);
  if (event->ClientCount() == 1) SendNotice(B);
}

void clsClient::RemoveClientFromEvent(int32_t lClientID, int32_t lID, bool bGenerate,
                                      std::span<const uint8_t> B) {
  const std::shared_ptr<clsEvent>* found = Events.Find(lID);
  if (found == nullptr) {
    base::AlertService::Current().Alert("Client konnte nicht von Event liste entfernt werden", kAlertCaption);
    return;
  }
  std::shared_ptr<clsEvent> event = *found;
  if (const std::weak_ptr<clsClient>* subscriber = event->Clients.Find(lClientID)) {
    if (std::shared_ptr<clsClient> client = subscriber->lock()) client->NoteSubscription(lID, false);
  }
  event->RemoveClient(lClientID);
  if (event->ClientCount() != 0) return;
  if (bGenerate) {
    SendEventState(lID, 0);
  } else {
    SendNotice(B);
  }
}

void clsClient::SendNotice(std::span<const uint8_t> B) {
  if (Sock->State() != net::StateConnected) {
    Disconnect();
    return;
  }
  if (heldNotices() == nullptr && Unsent() < kHoldNoticesAbove) {
    Send(B);
    return;
  }
  auto& held = rare().heldNotices;
  if (held == nullptr) held = std::make_unique<std::unordered_map<int32_t, uint8_t>>();
  (*held)[protocol::GetInt32(B.data() + 4)] = B[8];
}

void clsClient::Sock_SendComplete() {
  drained_ = true;
  if (feed() != nullptr) FeedRoster();
  if (heldNotices() != nullptr && feed() == nullptr) SendHeldNotices();
  SyncUnsent();
}

void clsClient::NoteSubscription(int32_t eventId, bool on) {
  if (on) {
    auto& subscriptions = rare().subscriptions;
    if (subscriptions == nullptr) subscriptions = std::make_unique<std::unordered_set<int32_t>>();
    subscriptions->insert(eventId);
  } else if (rare_ && rare_->subscriptions != nullptr) {
    rare_->subscriptions->erase(eventId);
    if (rare_->subscriptions->empty()) rare_->subscriptions.reset();
  }
}

std::vector<int32_t> clsClient::Subscriptions() const {
  if (!rare_ || rare_->subscriptions == nullptr) return {};
  return {rare_->subscriptions->begin(), rare_->subscriptions->end()};
}

size_t clsClient::SyncUnsent() {
  const size_t now = Unsent();
  if (now != reportedUnsent_) {
    app_.UnsentChanged(static_cast<int64_t>(now) - static_cast<int64_t>(reportedUnsent_));
    reportedUnsent_ = now;
  }
  return now;
}

uint32_t clsClient::StalledTicks() {
  // Bytes only waiting for the end of the batch are not behind.
  if (drained_ || !Sock->SendBlocked()) {
    drained_ = false;
    stalledTicks_ = 0;
  } else {
    ++stalledTicks_;
  }
  return stalledTicks_;
}

void clsClient::SendHeldNotices() {
  std::unique_ptr<std::unordered_map<int32_t, uint8_t>> held = std::move(rare_->heldNotices);
  std::array<uint8_t, protocol::frames::kIdByteSize> notice;
  for (const auto& [eventId, flag] : *held) {
    // An event removed meanwhile needs no notice.
    if (!Events.Contains(eventId)) continue;
    protocol::frames::EventSubscribe(notice, eventId, flag);
    Send(notice);
    if (Sock->State() != net::StateConnected) return;
  }
}

size_t clsClient::Unsent() const {
  const RosterFeed* feed = this->feed();
  return Sock->UnsentByteCount() + (feed != nullptr ? feed->behind.size() : 0);
}

clsEvent& clsClient::EventO(int32_t Index) const { return *Events.Item(Index); }

void clsClient::Sock_CloseSck() { Disconnect(); }

void clsClient::Sock_Error(net::SocketErrorArgs& /*e*/) { Disconnect(); }

void clsClient::Sock_DataArrival(int32_t bytesTotal) {
  // The handlers below may lead to this session's release; keep it to the end.
  std::shared_ptr<clsClient> self = weak_from_this().lock();
  switch (recv_.CheckArrival(bytesTotal)) {
    case protocol::FrameAssembler::Arrival::Ignore:
      return;
    case protocol::FrameAssembler::Arrival::Close:
      Disconnect();
      return;
    case protocol::FrameAssembler::Arrival::Take:
      break;
  }
  // All the bytes, as GetData into an array of Byte takes them.
  const std::span<const uint8_t> bytes = Sock->ReceivedBytes();
  recv_.Append(bytes);
  Sock->DiscardReceived(bytes.size());
  // An arrival while this session's frames are handled (a modal box runs the
  // loop) only appends: the drain running takes its bytes in order.
  ProcessFrames();
}

void clsClient::ProcessFrames() {
  switch (recv_.Drain([this](const protocol::FrameView& frame) { Dispatch(frame); })) {
    case protocol::FrameAssembler::Drained::NeedMore:
      return;
    case protocol::FrameAssembler::Drained::LostSync:
    case protocol::FrameAssembler::Drained::NegativeLength:
      app_.ClientLog(*this, "Lost protocol sync");
      Disconnect();
      return;
  }
}

void clsClient::Dispatch(const protocol::FrameView& frame) {
  const int16_t length = frame.Length();
  const uint8_t type = frame.Type();
  if (!registered_) {
    if (type != protocol::ClientInfo) return;
    if (length == 1) {
      Disconnect();
    } else {
      RegisterName(frame.BytesFrom(4));
    }
    return;
  }
  // Values and subscription requests travel on as 9-byte frames; a longer one
  // goes on as the 9 bytes it starts with, under their length of 6, so the
  // receiver stays in step. A frame of 9 bytes already is that frame.
  std::array<uint8_t, protocol::frames::kIdByteSize> nine;
  const std::optional<int32_t> id = frame.Int32At(4);
  const std::optional<uint8_t> byte = frame.ByteAt(8);
  switch (type) {
    case protocol::EventData:
      if (id && byte) {
        if (length != 6) protocol::frames::EventData(nine, *id, *byte);
        BroadcastEvent(*id, length == 6 ? frame.Bytes() : nine);
        if (length == 6) RelayFollowingValues(*id);
      }
      break;
    case protocol::EventInfo:
      if (length >= 10) HandleCreateRequest(frame);
      break;
    case protocol::EventRemove:
      if (id) HandleRemoveRequest(frame, *id);
      break;
    case protocol::EventSubscribe:
      if (id && byte) {
        if (length != 6) protocol::frames::EventSubscribe(nine, *id, *byte);
        app_.CL_Request(*this, *id, length == 6 ? frame.Bytes() : nine);
      }
      break;
    default:
      break;
  }
}

void clsClient::RelayFollowingValues(int32_t eventId) {
  // A publisher's values come in runs: the 9-byte values on this event that follow
  // in the same arrival go to the subscribers together when nobody could tell
  // (see clsEvent::BroadcastQuietly); otherwise they are handled one by one.
  const std::span<const uint8_t> next = recv_.Following();
  constexpr size_t kValue = protocol::frames::kIdByteSize;
  size_t run = 0;
  while (next.size() - run >= kValue) {
    const uint8_t* at = next.data() + run;
    if (at[0] != protocol::kFrameMarker || protocol::GetInt16(at + 1) != 6 || at[3] != protocol::EventData ||
        protocol::GetInt32(at + 4) != eventId) {
      break;
    }
    run += kValue;
  }
  if (run == 0) return;
  const std::shared_ptr<clsEvent>* found = Events.Find(eventId);
  if (found == nullptr) return;
  std::shared_ptr<clsEvent> event = *found;
  if (event->BroadcastQuietly(next.first(run))) recv_.TakeFollowing(run);
}

void clsClient::HandleCreateRequest(const protocol::FrameView& frame) {
  const int32_t requestId = frame.Int32At(4).value_or(0);
  const int16_t interval = frame.Int16At(8).value_or(0);
  const int16_t max = frame.Int16At(10).value_or(0);
  // The text is the name, optionally a 0 and the unit; anything after a second 0 is ignored.
  const std::span<const uint8_t> text = frame.BytesFrom(12);
  size_t nameEnd = 0;
  while (nameEnd < text.size() && text[nameEnd] != 0) ++nameEnd;
  size_t unitEnd = nameEnd < text.size() ? nameEnd + 1 : nameEnd;
  const size_t unitBegin = unitEnd;
  while (unitEnd < text.size() && text[unitEnd] != 0) ++unitEnd;
  const int32_t eventId =
      CreateEvent(requestId, interval, max, AsChars(text.first(nameEnd)),
                  AsChars(text.subspan(unitBegin, unitEnd - unitBegin)));
  if (eventId <= 0) return;
  // The announcement repeats interval, max and text exactly as received.
  app_.CL_Broadcast(*this, protocol::frames::EventInfo(id_, eventId, interval, max, text));
}

void clsClient::HandleRemoveRequest(const protocol::FrameView& frame, int32_t eventId) {
  if (!Events.Contains(eventId)) return;
  // Keep the event until the others have been told.
  std::shared_ptr<clsEvent> event = *Events.Find(eventId);
  app_.CL_Broadcast(*this, frame.Bytes());
  for (const auto& subscriber : event->Clients) {
    if (std::shared_ptr<clsClient> client = subscriber.item.lock()) client->NoteSubscription(eventId, false);
  }
  Events.Remove(eventId);
  app_.EventRemoved(*this, eventId);
  app_.EventsChanged(*this);
}

void clsClient::RegisterName(std::span<const uint8_t> wireName) {
  wireName_.Assign(wireName);
  registered_ = true;
  app_.Register(id_);
  app_.ClientLog(*this, name() + " registered.");
  Send(app_.NameMessage());
}

void clsClient::BroadcastEvent(int32_t lID, std::span<const uint8_t> B) {
  const std::shared_ptr<clsEvent>* found = Events.Find(lID);
  if (found == nullptr) {
    SendEventState(lID, 0);
    return;
  }
  // The publisher may lose the event while its subscribers are served.
  std::shared_ptr<clsEvent> event = *found;
  try {
    event->Broadcast(B);
  } catch (const base::RaisedError&) {
    SendEventState(lID, 0);
  }
}

int32_t clsClient::CreateEvent(int32_t RequestID, int16_t iInterval, int16_t iMax,
                               std::string_view sName, std::string_view sUnit) {
  if (!app_.MayCreateEvent(*this)) {
    Disconnect();
    return 0;
  }
  auto event = std::make_shared<clsEvent>(app_);
  event->Init(iInterval, iMax, sName, sUnit);
  const int32_t eventId = event->ID();
  if (!Events.Add(eventId, std::move(event))) return 0;
  app_.EventAdded(*this, eventId);
  app_.EventsChanged(*this);
  // Straight to the socket; on a connection that is gone nothing is sent.
  if (Sock->State() == net::StateConnected) {
    std::array<uint8_t, protocol::frames::kCreatedSize> created;
    protocol::frames::EventCreated(created, RequestID, eventId);
    Write(created.data(), created.size(), false);
    CheckUnsent();
  }
  return eventId;
}

void clsClient::SendEventState(int32_t lID, uint8_t flag) {
  if (Sock->State() != net::StateConnected) {
    Disconnect();
    return;
  }
  std::array<uint8_t, protocol::frames::kIdByteSize> state;
  protocol::frames::EventSubscribe(state, lID, flag);
  SendNotice(state);
}

void clsClient::CheckUnsent() {
  if (Sock->State() != net::StateConnected) return;
  if (SyncUnsent() > app_.UnsentLimit()) Disconnect();
}

void clsClient::Disconnect() {
  // What the application does with the departure must not end this session under it.
  std::shared_ptr<clsClient> self = weak_from_this().lock();
  Sock->CloseSck();
  // A closed connection's queue is gone; so is what waited behind a roster.
  if (rare_) rare_->feed.reset();
  if (reportedUnsent_ != 0) {
    app_.UnsentChanged(-static_cast<int64_t>(reportedUnsent_));
    reportedUnsent_ = 0;
  }
  app_.CL_Disconnect(id_);
}

void clsClient::ReleaseIdleMemory() {
  recv_.ReleaseIdleMemory();
  Sock->ReleaseIdleMemory();
  if (rare_ && !rare_->feed && !rare_->subscriptions && !rare_->heldNotices) rare_.reset();
}

clsClient::Rare& clsClient::rare() {
  if (!rare_) rare_ = std::make_unique<Rare>();
  return *rare_;
}

int32_t clsClient::RecvCount() const { return recv_.RecvCount(); }
int32_t clsClient::RecvCapacity() const { return recv_.RecvCapacity(); }

}  // namespace toruna::session
