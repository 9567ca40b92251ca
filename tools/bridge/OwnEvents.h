#pragma once
// The bridge's own events on the server, which MQTT sets: each is created on
// the server when its first value comes, and again on every new connection.
// Values go out while the event has a subscriber on the server ("publish only
// while someone listens"); those that come while nobody listens, or while the
// server is away, wait (the latest kMaxHeld of each event) and go out in
// order once somebody subscribes.
// This class does not own the connection it works through.

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <string>

#include "client/ClientProtocol.h"

namespace toruna::bridge {

class OwnEvents {
 public:
  static constexpr size_t kMaxEvents = 1000;
  static constexpr size_t kMaxHeld = 1000;

  using Say = std::function<void(const std::string&)>;
  explicit OwnEvents(Say say) : say_(std::move(say)) {}

  // A value for the event of that name. Throws client::TextError for a name
  // that cannot go on the wire; false when there are kMaxEvents already.
  bool Set(const std::string& event, uint8_t value);
  // Makes sure the event exists (created on the server when connected), with
  // no value; false as for Set.
  bool Ensure(const std::string& event);
  // A new connection (nullptr: none): every event is created on it anew.
  // Call before the connection opens or once it has registered.
  void Attach(client::ClientProtocol* connection);
  // From the connection's OnEventReady and OnSubscribers: held values may go.
  void Changed(const client::OwnEvent& event);

  bool Has(const std::string& event) const { return events_.count(event) != 0; }
  size_t Size() const { return events_.size(); }
  size_t Held(const std::string& event) const;

 private:
  struct Own {
    int32_t handle = 0;  // on the current connection; 0: not asked for there
    std::deque<uint8_t> held;
    bool warned = false;  // said once that values are dropped
  };
  Own* ByHandle(int32_t handle);
  void Create(const std::string& name, Own& own);
  void Flush(Own& own);

  Say say_;
  client::ClientProtocol* connection_ = nullptr;
  std::map<std::string, Own> events_;
};

}  // namespace toruna::bridge
