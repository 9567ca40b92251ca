#pragma once
// One event a client created: a named channel with a unit, an interval and a
// maximum, and the sessions subscribed to it. It is owned by the creating
// session's Events; it refers to its subscribers without owning them.

#include <cstdint>
#include <memory>
#include <span>
#include <string>

#include "session/KeyedCollection.h"

namespace toruna::session {

class IServerApp;
class clsClient;

class clsEvent {
 public:
  // Draws the event's ID from the application's counter.
  explicit clsEvent(IServerApp& app);
  clsEvent(const clsEvent&) = delete;
  clsEvent& operator=(const clsEvent&) = delete;

  // Adds a subscriber; one that is already subscribed is not added again.
  void AddClient(clsClient& oClient);
  // Removes a subscriber; an ID that is not subscribed changes nothing.
  void RemoveClient(int32_t lngID);
  int32_t ClientCount() const { return Clients.Count(); }
  // Sends the frame B to every subscriber, the latest first.
  void Broadcast(std::span<const uint8_t> B);
  void Init(int16_t iInterval, int16_t iMax, std::string sName, std::string sUnit);

  int32_t ID() const { return id_; }
  const std::string& name() const { return name_; }
  const std::string& Unit() const { return unit_; }
  int16_t Interval() const { return interval_; }
  int16_t Max() const { return max_; }

  // The subscribers in the order they subscribed, keyed by session ID.
  KeyedCollection<std::weak_ptr<clsClient>> Clients;

 private:
  int32_t id_;
  int16_t interval_ = 0;
  int16_t max_ = 0;
  std::string name_;
  std::string unit_;
};

}  // namespace toruna::session
