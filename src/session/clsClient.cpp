#include "session/clsClient.h"

#include <array>
#include <optional>

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
  if (mayWait) {
    Sock->SendBytesLater(B.data(), B.size());
  } else {
    Sock->SendBytes(B.data(), B.size());
  }
  CheckUnsent();
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
  if (event->ClientCount() == 1) Send(B);
}

void clsClient::RemoveClientFromEvent(int32_t lClientID, int32_t lID, bool bGenerate,
                                      std::span<const uint8_t> B) {
  const std::shared_ptr<clsEvent>* found = Events.Find(lID);
  if (found == nullptr) {
    base::AlertService::Current().Alert("Client konnte nicht von Event liste entfernt werden", kAlertCaption);
    return;
  }
  std::shared_ptr<clsEvent> event = *found;
  event->RemoveClient(lClientID);
  if (event->ClientCount() != 0) return;
  if (bGenerate) {
    SendEventState(lID, 0);
  } else {
    Send(B);
  }
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
      app_.AddLog("Lost protocol sync");
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
  // receiver stays in step.
  std::array<uint8_t, protocol::frames::kIdByteSize> nine;
  const std::optional<int32_t> id = frame.Int32At(4);
  const std::optional<uint8_t> byte = frame.ByteAt(8);
  switch (type) {
    case protocol::EventData:
      if (id && byte) {
        protocol::frames::EventData(nine, *id, *byte);
        BroadcastEvent(*id, nine);
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
        protocol::frames::EventSubscribe(nine, *id, *byte);
        app_.CL_Request(*this, *id, nine);
      }
      break;
    default:
      break;
  }
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
  Events.Remove(eventId);
  app_.EventsChanged(*this);
}

void clsClient::RegisterName(std::span<const uint8_t> wireName) {
  wireName_.assign(wireName.begin(), wireName.end());
  registered_ = true;
  app_.Register(id_);
  app_.AddLog(name() + " registered.");
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
  auto event = std::make_shared<clsEvent>(app_);
  event->Init(iInterval, iMax, sName, sUnit);
  const int32_t eventId = event->ID();
  if (!Events.Add(eventId, std::move(event))) return 0;
  app_.EventsChanged(*this);
  // Straight to the socket; on a connection that is gone nothing is sent.
  if (Sock->State() == net::StateConnected) {
    std::array<uint8_t, protocol::frames::kCreatedSize> created;
    protocol::frames::EventCreated(created, RequestID, eventId);
    Sock->SendBytes(created.data(), created.size());
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
  Sock->SendBytes(state.data(), state.size());
  CheckUnsent();
}

void clsClient::CheckUnsent() {
  if (Sock->State() == net::StateConnected && Sock->UnsentByteCount() > kUnsentLimit) {
    Disconnect();
  }
}

void clsClient::Disconnect() {
  // What the application does with the departure must not end this session under it.
  std::shared_ptr<clsClient> self = weak_from_this().lock();
  Sock->CloseSck();
  app_.CL_Disconnect(id_);
}

void clsClient::ReleaseIdleMemory() {
  recv_.ReleaseIdleMemory();
  Sock->ReleaseIdleMemory();
}

int32_t clsClient::RecvCount() const { return recv_.RecvCount(); }
int32_t clsClient::RecvCapacity() const { return recv_.RecvCapacity(); }

}  // namespace toruna::session
