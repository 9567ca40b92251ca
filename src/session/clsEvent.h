#pragma once
// One event a client created: a named channel with a unit, an interval and a
// maximum, and the sessions subscribed to it. It is owned by the creating
// session's Events; it refers to its subscribers without owning them. Its texts
// are kept as they came on the wire, as a client's name is: a server holds many.

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>

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
  // Broadcast of several frames at once, done only when every subscriber takes
  // them without a hand-over, an event or reaching its limit, so that nobody could
  // tell it from one Broadcast per frame; false (nothing done) otherwise.
  bool BroadcastQuietly(std::span<const uint8_t> B);
  // sName and sUnit as they came on the wire (Windows-1252), without a 0.
  void Init(int16_t iInterval, int16_t iMax, std::string_view sName, std::string_view sUnit);

  int32_t ID() const { return id_; }
  // The name and the unit (UTF-8).
  std::string name() const;
  std::string Unit() const;
  // The name, a 0 and the unit, on the wire: the text of the event's EventInfo.
  std::span<const uint8_t> WireText() const {
    return {reinterpret_cast<const uint8_t*>(wireText_.data()), wireText_.size()};
  }
  int16_t Interval() const { return interval_; }
  int16_t Max() const { return max_; }

  // The subscribers in the order they subscribed, keyed by session ID.
  KeyedCollection<std::weak_ptr<clsClient>> Clients;

 private:
  int32_t id_;
  int16_t interval_ = 0;
  int16_t max_ = 0;
  std::string wireText_;
};

}  // namespace toruna::session
