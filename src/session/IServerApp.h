#pragma once
// What a client session needs of the server application. The server implements it;
// sessions call it directly, passing themselves or their ID.

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace toruna::session {

class clsClient;

// More unsent bytes than this on one connection (beyond what it was sent on
// registration): the client is treated as gone. The server may set its own.
inline constexpr size_t kUnsentLimit = 1048576;

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

  // The server's limits. Whether oClient may create one more event (a refusal
  // is logged by the server, and the session closes its connection).
  virtual bool MayCreateEvent(clsClient& /*oClient*/) { return true; }
  // oClient created or removed one of its events.
  virtual void EventAdded(clsClient& /*oClient*/, int32_t /*eventId*/) {}
  virtual void EventRemoved(clsClient& /*oClient*/, int32_t /*eventId*/) {}
  // A log line caused by oClient: the server may limit how many one source writes.
  virtual void ClientLog(clsClient& /*oClient*/, const std::string& line) { AddLog(line); }
  virtual size_t UnsentLimit() const { return kUnsentLimit; }
  // The bytes waiting for one of the connections grew or shrank by delta (the
  // server keeps a budget for all of them together).
  virtual void UnsentChanged(int64_t /*delta*/) {}

 protected:
  ~IServerApp() = default;
};

}  // namespace toruna::session
