#include "session/clsEvent.h"

#include "base/AlertService.h"
#include "base/Cp1252.h"
#include "protocol/Frame.h"
#include "session/IServerApp.h"
#include "session/clsClient.h"

namespace toruna::session {

clsEvent::clsEvent(IServerApp& app) : id_(app.NewID()) {}

void clsEvent::AddClient(clsClient& oClient) {
  Clients.Add(oClient.ID(), oClient.weak_from_this());
}

void clsEvent::RemoveClient(int32_t lngID) { Clients.Remove(lngID); }

void clsEvent::Broadcast(std::span<const uint8_t> B) {
  if (B.empty() || B[0] != protocol::kFrameMarker) {
    base::AlertService::Current().Alert("KAKAAAAAAAAAA", kAlertCaption);
  }
  // A send can make subscribers depart and leave this list; walk the IDs as they
  // were and serve those still subscribed, the latest first.
  IdSnapshot ids(Clients);
  for (size_t i = ids.size(); i-- > 0;) {
    const std::weak_ptr<clsClient>* entry = Clients.FindNear(ids[i], i + 1);
    if (entry == nullptr) continue;
    if (std::shared_ptr<clsClient> subscriber = entry->lock()) subscriber->Send(B);
  }
}

bool clsEvent::BroadcastQuietly(std::span<const uint8_t> B) {
  // Each subscriber's queue only grows here, so those that take the whole run
  // quietly would have taken each of its frames quietly too.
  IdSnapshot ids(Clients);
  for (size_t i = ids.size(); i-- > 0;) {
    const std::weak_ptr<clsClient>* entry = Clients.FindNear(ids[i], i + 1);
    if (entry == nullptr) continue;
    std::shared_ptr<clsClient> subscriber = entry->lock();
    if (subscriber && !subscriber->TakesQuietly(B.size())) return false;
  }
  for (size_t i = ids.size(); i-- > 0;) {
    const std::weak_ptr<clsClient>* entry = Clients.FindNear(ids[i], i + 1);
    if (entry == nullptr) continue;
    if (std::shared_ptr<clsClient> subscriber = entry->lock()) subscriber->Send(B);
  }
  return true;
}

void clsEvent::Init(int16_t iInterval, int16_t iMax, std::string_view sName, std::string_view sUnit) {
  interval_ = iInterval;
  max_ = iMax;
  wireText_.reserve(sName.size() + 1 + sUnit.size());
  wireText_.assign(sName);
  wireText_.push_back('\0');
  wireText_.append(sUnit);
}

std::string clsEvent::name() const {
  return base::Cp1252::ToUtf8(std::string_view(wireText_).substr(0, wireText_.find('\0')));
}

std::string clsEvent::Unit() const {
  const size_t zero = wireText_.find('\0');
  if (zero == std::string::npos) return {};
  return base::Cp1252::ToUtf8(std::string_view(wireText_).substr(zero + 1));
}

}  // namespace toruna::session
