#pragma once
// What the session tests run on: a platform whose sockets never open (so every
// session is unconnected and each Send shows up as a departure), an application
// that records what the sessions ask of it, an alert service that records, and
// a fixture that holds them.

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "base/RecordingAlerts.h"
#include "net/Platform.h"
#include "net/modNetSocket.h"
#include "session/IServerApp.h"
#include "session/clsClient.h"

namespace toruna::session::testing {

class ClosedPlatform : public net::Platform {
 public:
  int LastError() const override { return net::kErrAddressNotAvailable; }
  int Startup() override { return 0; }
  int Cleanup() override { return 0; }
  bool OpenNotifier(net::NotificationSink*) override { return true; }
  bool CloseNotifier() override { return true; }
  net::SocketHandle Socket(int, int) override { return -1; }
  int AsyncSelect(net::SocketHandle, uint16_t) override { return -1; }
  int Bind(net::SocketHandle, const net::SockAddrIn&) override { return -1; }
  int Listen(net::SocketHandle, int) override { return -1; }
  net::SocketHandle Accept(net::SocketHandle, net::SockAddrIn*) override { return -1; }
  int Connect(net::SocketHandle, const net::SockAddrIn&) override { return -1; }
  int Send(net::SocketHandle, const uint8_t*, int) override { return -1; }
  int SendTo(net::SocketHandle, const uint8_t*, int, const net::SockAddrIn&) override { return -1; }
  int Recv(net::SocketHandle, uint8_t*, int, int) override { return -1; }
  int RecvFrom(net::SocketHandle, uint8_t*, int, int, net::SockAddrIn*) override { return -1; }
  int CloseSocket(net::SocketHandle) override { return 0; }
  int GetSockOpt(net::SocketHandle, int, int, int32_t*) override { return -1; }
  int SetSockOpt(net::SocketHandle, int, int, int32_t) override { return -1; }
  int PendingBytes(net::SocketHandle, uint32_t*) override { return -1; }
  int GetSockName(net::SocketHandle, net::SockAddrIn*) override { return -1; }
  int GetPeerName(net::SocketHandle, net::SockAddrIn*) override { return -1; }
  int GetHostName(std::string*) override { return -1; }
  uint32_t InetAddr(const std::string&) override { return net::kInaddrNone; }
  std::string InetNtoa(uint32_t) override { return {}; }
  int GetHostByName(const std::string&, uint32_t*) override { return -1; }
  net::LookupHandle AsyncGetHostByName(const std::string&) override { return 0; }
  int CancelAsyncRequest(net::LookupHandle) override { return 0; }
};

class RecordingApp : public IServerApp {
 public:
  void Register(int32_t lID) override { registered.push_back(lID); }
  void CL_Broadcast(clsClient&, std::span<const uint8_t> B) override {
    broadcasts.emplace_back(B.begin(), B.end());
  }
  void CL_Request(clsClient&, int32_t lngID, std::span<const uint8_t>) override {
    requests.push_back(lngID);
  }
  void CL_Disconnect(int32_t lngID) override {
    departures.push_back(lngID);
    if (onDisconnect) onDisconnect(lngID);
  }
  void EventsChanged(clsClient& oClient) override { eventChanges.push_back(oClient.ID()); }
  const std::vector<uint8_t>& NameMessage() const override { return nameMessage; }
  int32_t NewID() override { return ++lastID; }
  void AddLog(const std::string& line) override { log.push_back(line); }

  int32_t lastID = 0;
  std::vector<uint8_t> nameMessage{42, 2, 0, 8, 'S'};
  std::vector<int32_t> registered;
  std::vector<std::vector<uint8_t>> broadcasts;
  std::vector<int32_t> requests;
  std::vector<int32_t> departures;
  std::vector<int32_t> eventChanges;
  std::vector<std::string> log;
  std::function<void(int32_t)> onDisconnect;
};

using base::testing::RecordingAlerts;

// Sessions on a platform without connections: a Send to one of them makes it
// depart at once, so the order of departures is the order of sends.
class UnconnectedSessions : public ::testing::Test {
 protected:
  std::shared_ptr<clsClient> NewSession() {
    auto session = std::make_shared<clsClient>(app, dispatcher);
    sessions.push_back(session);
    return session;
  }

  ClosedPlatform platform;
  net::modNetSocket dispatcher{platform, nullptr};
  RecordingApp app;
  RecordingAlerts alerts;
  std::vector<std::shared_ptr<clsClient>> sessions;
};

}  // namespace toruna::session::testing
