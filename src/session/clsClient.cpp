#include "session/clsClient.h"

#include <algorithm>
#include <array>
#include <vector>

#include "base/AlertService.h"
#include "base/Cp1252.h"
#include "net/CNetSocket.h"
#include "net/Variant.h"
#include "protocol/Frame.h"
#include "protocol/FrameAssembler.h"
#include "session/IServerApp.h"

namespace toruna::session {

namespace {

std::string_view AsChars(std::span<const uint8_t> bytes) {
  return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}

// An owner with this many bytes waiting is behind: its notices are held (SendNotice).
constexpr size_t kHoldNoticesAbove = 16384;
// A roster is handed to the socket in pieces of this size, the next when it drains.
constexpr size_t kRosterPiece = 32768;

// Frames up to this size are copied to the stack before they are handled.
constexpr size_t kSmallFrame = 64;

// A frame's own copy: handling it may re-enter this session and append to the
// receive buffer, so no view into that buffer is kept across the handling.
class FrameCopy {
 public:
  explicit FrameCopy(std::span<const uint8_t> frame) : size_(frame.size()) {
    uint8_t* out = small_.data();
    if (size_ > kSmallFrame) {
      large_.resize(size_);
      out = large_.data();
    }
    std::copy(frame.begin(), frame.end(), out);
  }
  std::span<const uint8_t> Bytes() const {
    return {size_ > kSmallFrame ? large_.data() : small_.data(), size_};
  }

 private:
  std::array<uint8_t, kSmallFrame> small_;
  std::vector<uint8_t> large_;
  size_t size_;
};

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

void clsClient::Write(const uint8_t* data, size_t size, bool mayWait) {
  if (feed_ != nullptr) {
    feed_->behind.insert(feed_->behind.end(), data, data + size);
  } else if (mayWait) {
    Sock->SendBytesLater(data, size);
  } else {
    Sock->SendBytes(data, size);
  }
}

void clsClient::SendRoster(std::shared_ptr<const std::vector<uint8_t>> roster, size_t size) {
  if (Sock->State() != net::StateConnected) {
    Disconnect();
    return;
  }
  if (feed_ != nullptr || size <= kRosterPiece) {
    Send(std::span<const uint8_t>(roster->data(), size));
    return;
  }
  feed_ = std::make_unique<RosterFeed>();
  feed_->roster = std::move(roster);
  feed_->end = size;
  FeedRoster();
}

void clsClient::FeedRoster() {
  // A hand-over may run dry at once and call back in here (SendComplete).
  if (feed_ == nullptr || feed_->feeding) return;
  feed_->feeding = true;
  while (feed_ != nullptr && Sock->UnsentByteCount() < kRosterPiece) {
    if (Sock->State() != net::StateConnected) {
      feed_.reset();
      return;
    }
    RosterFeed& feed = *feed_;
    if (feed.next < feed.end) {
      const size_t n = std::min(kRosterPiece, feed.end - feed.next);
      const size_t at = feed.next;
      feed.next += n;
      Sock->SendBytes(feed.roster->data() + at, n);
    } else {
      // The roster is out: what waited behind it follows, and sends go straight on.
      std::unique_ptr<RosterFeed> done = std::move(feed_);
      if (!done->behind.empty()) Sock->SendBytes(done->behind.data(), done->behind.size());
    }
  }
  if (feed_ != nullptr) feed_->feeding = false;
}

std::string clsClient::name() const { return base::Cp1252::ToUtf8(std::string_view(wireName_)); }

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
  if (heldNotices_ == nullptr && Unsent() < kHoldNoticesAbove) {
    Send(B);
    return;
  }
  if (heldNotices_ == nullptr) heldNotices_ = std::make_unique<std::unordered_map<int32_t, uint8_t>>();
  (*heldNotices_)[protocol::GetInt32(B.data() + 4)] = B[8];
}

void clsClient::Sock_SendComplete() {
  ++drains_;
  if (feed_ != nullptr) FeedRoster();
  if (heldNotices_ != nullptr && feed_ == nullptr) SendHeldNotices();
  SyncUnsent();
}

void clsClient::NoteSubscription(int32_t eventId, bool on) {
  if (on) {
    if (subscriptions_ == nullptr) subscriptions_ = std::make_unique<std::unordered_set<int32_t>>();
    subscriptions_->insert(eventId);
  } else if (subscriptions_ != nullptr) {
    subscriptions_->erase(eventId);
    if (subscriptions_->empty()) subscriptions_.reset();
  }
}

std::vector<int32_t> clsClient::Subscriptions() const {
  if (subscriptions_ == nullptr) return {};
  return {subscriptions_->begin(), subscriptions_->end()};
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
  if (drains_ != drainsSeen_ || !Sock->SendBlocked()) {
    drainsSeen_ = drains_;
    stalledTicks_ = 0;
  } else {
    ++stalledTicks_;
  }
  return stalledTicks_;
}

void clsClient::SendHeldNotices() {
  std::unique_ptr<std::unordered_map<int32_t, uint8_t>> held = std::move(heldNotices_);
  std::array<uint8_t, 9> notice{protocol::kFrameMarker};
  protocol::PutInt16(&notice[1], 6);
  notice[3] = protocol::EventSubscribe;
  for (const auto& [eventId, flag] : *held) {
    // An event removed meanwhile needs no notice.
    if (!Events.Contains(eventId)) continue;
    protocol::PutInt32(&notice[4], eventId);
    notice[8] = flag;
    Send(notice);
    if (Sock->State() != net::StateConnected) return;
  }
}

size_t clsClient::Unsent() const {
  return Sock->UnsentByteCount() + (feed_ != nullptr ? feed_->behind.size() : 0);
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
  if (handlingFrames_) return;  // the outer arrival handles these bytes in order
  ProcessFrames();
}

void clsClient::ProcessFrames() {
  handlingFrames_ = true;
  struct Reset {
    bool& flag;
    ~Reset() { flag = false; }
  } reset{handlingFrames_};
  for (;;) {
    std::span<const uint8_t> view;
    switch (recv_.Next(view)) {
      case protocol::FrameAssembler::Step::NeedMore:
        return;
      case protocol::FrameAssembler::Step::Empty:
        recv_.Consume();
        break;
      case protocol::FrameAssembler::Step::LostSync:
      case protocol::FrameAssembler::Step::NegativeLength:
        app_.ClientLog(*this, "Lost protocol sync");
        Disconnect();
        return;
      case protocol::FrameAssembler::Step::Frame: {
        FrameCopy frame(view);
        recv_.Consume(view.size());
        Dispatch(frame.Bytes());
        break;
      }
    }
  }
}

void clsClient::Dispatch(std::span<const uint8_t> frame) {
  const int16_t length = protocol::GetInt16(frame.data() + 1);
  const uint8_t type = frame[3];
  if (!registered_) {
    if (type != protocol::ClientInfo) return;
    if (length == 1) {
      Disconnect();
    } else {
      RegisterName(frame.subspan(4, static_cast<size_t>(length - 1)));
    }
    return;
  }
  // Values and subscription requests travel on as 9-byte frames; a longer one
  // gets the length of 6 that its 9 bytes have, so the receiver stays in step.
  std::array<uint8_t, 9> nine;
  auto firstNine = [&] {
    std::copy_n(frame.begin(), nine.size(), nine.begin());
    if (length != 6) protocol::PutInt16(&nine[1], 6);
    return std::span<const uint8_t>(nine);
  };
  switch (type) {
    case protocol::EventData:
      if (length >= 6) BroadcastEvent(protocol::GetInt32(frame.data() + 4), firstNine());
      break;
    case protocol::EventInfo:
      if (length >= 10) HandleCreateRequest(frame, length);
      break;
    case protocol::EventRemove:
      if (length >= 5) HandleRemoveRequest(frame, length);
      break;
    case protocol::EventSubscribe:
      if (length >= 6) app_.CL_Request(*this, protocol::GetInt32(frame.data() + 4), firstNine());
      break;
    default:
      break;
  }
}

void clsClient::HandleCreateRequest(std::span<const uint8_t> frame, int16_t length) {
  const int32_t requestId = protocol::GetInt32(frame.data() + 4);
  const int16_t interval = protocol::GetInt16(frame.data() + 8);
  const int16_t max = protocol::GetInt16(frame.data() + 10);
  // The text is the name, optionally a 0 and the unit; anything after a second 0 is ignored.
  std::span<const uint8_t> text = frame.subspan(12, static_cast<size_t>(length - 9));
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
  const size_t size = static_cast<size_t>(length) + 7;
  std::vector<uint8_t> announcement(size);
  announcement[0] = protocol::kFrameMarker;
  protocol::PutInt16(&announcement[1], static_cast<int16_t>(length + 4));
  announcement[3] = protocol::EventInfo;
  protocol::PutInt32(&announcement[4], id_);
  protocol::PutInt32(&announcement[8], eventId);
  std::copy(frame.begin() + 8, frame.end(), announcement.begin() + 12);
  app_.CL_Broadcast(*this, announcement);
}

void clsClient::HandleRemoveRequest(std::span<const uint8_t> frame, int16_t length) {
  const int32_t eventId = protocol::GetInt32(frame.data() + 4);
  if (!Events.Contains(eventId)) return;
  // Keep the event until the others have been told.
  std::shared_ptr<clsEvent> event = *Events.Find(eventId);
  app_.CL_Broadcast(*this, frame.first(static_cast<size_t>(length) + 3));
  for (const auto& subscriber : event->Clients) {
    if (std::shared_ptr<clsClient> client = subscriber.item.lock()) client->NoteSubscription(eventId, false);
  }
  Events.Remove(eventId);
  app_.EventRemoved(*this, eventId);
  app_.EventsChanged(*this);
}

void clsClient::RegisterName(std::span<const uint8_t> wireName) {
  wireName_.assign(wireName.begin(), wireName.end());
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
    std::array<uint8_t, 12> created{protocol::kFrameMarker};
    protocol::PutInt16(&created[1], 9);
    created[3] = protocol::EventCreated;
    protocol::PutInt32(&created[4], RequestID);
    protocol::PutInt32(&created[8], eventId);
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
  std::array<uint8_t, 9> state{protocol::kFrameMarker};
  protocol::PutInt16(&state[1], 6);
  state[3] = protocol::EventSubscribe;
  protocol::PutInt32(&state[4], lID);
  state[8] = flag;
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
  feed_.reset();
  if (reportedUnsent_ != 0) {
    app_.UnsentChanged(-static_cast<int64_t>(reportedUnsent_));
    reportedUnsent_ = 0;
  }
  app_.CL_Disconnect(id_);
}

void clsClient::ReleaseIdleMemory() {
  recv_.ReleaseIdleMemory();
  Sock->ReleaseIdleMemory();
}

int32_t clsClient::RecvCount() const { return recv_.RecvCount(); }
int32_t clsClient::RecvCapacity() const { return recv_.RecvCapacity(); }

}  // namespace toruna::session
