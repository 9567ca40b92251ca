#pragma once
// What a client session needs of the server application. The server implements it;
// sessions call it directly, passing themselves or their ID.

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace toruna::session {

class clsClient;

class IServerApp {
 public:
  // Brings the registering session up to date and announces it (before ServerInfo).
  virtual void Register(int32_t lID) = 0;
  // Sends B to every registered session except oClient, as an announcement (it
  // may wait a few milliseconds to share a write with the next ones).
  virtual void CL_Broadcast(clsClient& oClient, std::span<const uint8_t> B) = 0;
  // Hands a subscription request (the first 9 bytes of the frame) to the event's owner.
  virtual void CL_Request(clsClient& oClient, int32_t lngID, std::span<const uint8_t> B) = 0;
  // A session whose connection ended, after it closed its own socket.
  virtual void CL_Disconnect(int32_t lngID) = 0;
  // oClient created or removed an event: what newcomers are told has changed.
  virtual void EventsChanged(clsClient& oClient) = 0;
  // The prebuilt ServerInfo frame.
  virtual const std::vector<uint8_t>& NameMessage() const = 0;
  // The process-wide identifier counter shared by sessions and events.
  virtual int32_t NewID() = 0;
  virtual void AddLog(const std::string& line) = 0;

 protected:
  ~IServerApp() = default;
};

}  // namespace toruna::session
