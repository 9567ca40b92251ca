#pragma once
// What a newcomer is sent first: each registered client's ClientInfo followed by
// an EventInfo per event of its, in registration order, as one run of frames.
// Built when a registration needs it and kept while nothing but registrations
// happen, since a burst of them would otherwise build the same frames again for
// every newcomer: each newcomer's ClientInfo joins a kept roster, and the registry
// invalidates it wherever anything else in it changes (an event comes or goes, a
// client leaves). Its memory goes back on a tick without registrations.
// It does no I/O and knows no session: the owner fills it from its registry.
// Newcomers are fed from it as their sockets drain (Shared()): the bytes a
// newcomer was given never change, since the roster only grows until it is
// invalidated, and an invalidated one is left to those still reading it.

#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <vector>

namespace toruna::server {

class RosterCache {
 public:
  // The roster: the kept one, or the one fill builds now by adding every registered
  // client (AddClient), each followed by its events (AddEvent).
  const std::vector<uint8_t>& Get(const std::function<void(RosterCache&)>& fill);
  // The roster Get returned, to be read after this call returns (a newcomer reads
  // its first Get().size() bytes).
  std::shared_ptr<const std::vector<uint8_t>> Shared() const { return frames_; }
  void AddClient(int32_t clientId, std::span<const uint8_t> wireName);
  // wireText: the event's name, a 0 and its unit, as on the wire.
  void AddEvent(int32_t ownerId, int32_t eventId, int16_t interval, int16_t max,
                std::span<const uint8_t> wireText);

  // A newcomer registered: its ClientInfo frame joins the roster, if one is kept.
  void Registered(std::span<const uint8_t> clientInfo);
  // Anything else in the registry changed: the next Get builds the roster anew.
  void Invalidate() { valid_ = false; }

  // Called once a tick: unless Get was called since the last call, the roster and
  // its memory go.
  void ReleaseIfUnused();

  bool Kept() const { return valid_; }
  size_t Capacity() const { return frames_ ? frames_->capacity() : 0; }

 private:
  void Append(std::span<const uint8_t> frame) { frames_->insert(frames_->end(), frame.begin(), frame.end()); }

  std::shared_ptr<std::vector<uint8_t>> frames_;
  bool valid_ = false;
  bool used_ = false;
};

}  // namespace toruna::server
