#include "OwnEvents.h"

#include "client/WireText.h"

namespace toruna::bridge {

bool OwnEvents::Ensure(const std::string& event) {
  if (events_.count(event) != 0) return true;
  client::WireText::CheckEvent(event, "");
  if (events_.size() >= kMaxEvents) return false;
  Own& own = events_[event];
  Create(event, own);
  return true;
}

bool OwnEvents::Set(const std::string& event, uint8_t value) {
  if (!Ensure(event)) return false;
  Own& own = events_[event];
  own.held.push_back(value);
  if (own.held.size() > kMaxHeld) {
    own.held.pop_front();
    if (!own.warned) {
      say_("nobody on the server listens to " + event + ": keeping only its latest " +
           std::to_string(kMaxHeld) + " values");
      own.warned = true;
    }
  }
  Flush(own);
  return true;
}

void OwnEvents::Attach(client::ClientProtocol* connection) {
  connection_ = connection;
  for (auto& [name, own] : events_) {
    own.handle = 0;
    Create(name, own);
  }
}

void OwnEvents::Create(const std::string& name, Own& own) {
  if (connection_ != nullptr && own.handle == 0) own.handle = connection_->CreateEvent(name);
}

void OwnEvents::Changed(const client::OwnEvent& event) {
  if (Own* own = ByHandle(event.handle)) Flush(*own);
}

void OwnEvents::Flush(Own& own) {
  if (connection_ == nullptr || own.handle == 0 || !connection_->HasSubscribers(own.handle)) return;
  while (!own.held.empty() && connection_->Publish(own.handle, own.held.front())) own.held.pop_front();
  if (own.held.empty()) own.warned = false;
}

size_t OwnEvents::Held(const std::string& event) const {
  auto it = events_.find(event);
  return it != events_.end() ? it->second.held.size() : 0;
}

OwnEvents::Own* OwnEvents::ByHandle(int32_t handle) {
  for (auto& [name, own] : events_) {
    if (own.handle == handle && handle != 0) return &own;
  }
  return nullptr;
}

}  // namespace toruna::bridge
