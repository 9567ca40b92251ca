#pragma once
// The server application: its two server sockets, the registries of client
// sessions, registration and routing between sessions, the discovery responder,
// the log, the identifier counter and start-up and shutdown. Free of any GUI
// toolkit: a FrontEnd shows the window, the icon and the log.
//
// Registry, routing, the log and the counter live in frmMain.cpp; start-up and
// shutdown in frmMainStartup.cpp; discovery in frmMainDiscovery.cpp.

#include <cstdint>
#include <deque>
#include <memory>
#include <random>
#include <span>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "server/AccessSettings.h"
#include "server/AnnouncementStream.h"
#include "server/FrontEnd.h"
#include "server/Housekeeping.h"
#include "server/KeepAliveSettings.h"
#include "server/LimitSettings.h"
#include "server/RefusalLog.h"
#include "server/RosterCache.h"
#include "server/RoundPacer.h"
#include "server/SourceRateLimiter.h"
#include "server/clsSettings.h"
#include "session/IServerApp.h"
#include "session/KeyedCollection.h"
#include "session/clsClient.h"

namespace toruna::loop {
class EventLoop;
}  // namespace toruna::loop
namespace toruna::net {
class CNetSocket;
class modNetSocket;
}  // namespace toruna::net

namespace toruna::server {

struct ServerConfig {
  int32_t discoveryPort = 9666;  // tests use 0 for an ephemeral port
  int32_t listenPort = 13131;    // tests use 0 for an ephemeral port
  std::string settingsPath;      // empty: the user's settings file
  // What a service sets apart from the desktop application: the name when no
  // Servername is set (empty: "TestServer" and three random digits), and
  // AllowFrom when the settings file has none.
  std::string defaultName;
  std::string defaultAllowFrom = "any";
};

class frmMain : public session::IServerApp {
 public:
  // dispatcher: the socket layer to create sockets on; loop: where tmrMain runs
  // (nullptr: the owner calls tmrMain_Timer itself); frontEnd may be nullptr.
  frmMain(net::modNetSocket& dispatcher, loop::EventLoop* loop, FrontEnd* frontEnd,
          ServerConfig config = {});
  ~frmMain();
  frmMain(const frmMain&) = delete;
  frmMain& operator=(const frmMain&) = delete;

  // Start-up and shutdown.
  void Form_Load();
  void Form_QueryUnload(bool& cancel, int16_t closeReason);
  void Form_Unload(bool& cancel);
  // QueryUnload with closeReason, then Unload unless cancelled. True when unloaded.
  bool Unload(int16_t closeReason);
  bool Unloaded() const { return unloaded_; }

  // Icon and menu.
  void Form_MouseMove(int16_t button, int16_t shift, float x, float y);
  void mnuShow_Click();
  void mnuExit_Click();

  // The timer, every 1000 ms.
  void tmrMain_Timer();

  // Steps 6 and 7 of start-up, each usable on its own (tests start only the relay):
  // create SearchSock bound to the discovery port, and Listen listening on the
  // listen port, with their event handlers connected.
  void OpenSearchSocket();   // frmMainStartup.cpp
  void OpenListenSocket();   // frmMain.cpp

  // Socket events.
  void Listen_ConnectionRequest(int32_t RequestID);
  void SearchSock_DataArrival(int32_t bytesTotal);

  // Properties and services.
  const std::string& ServerName() const { return serverName_; }
  const std::vector<uint8_t>& NameMessage() const override { return nameMessage_; }
  int32_t NewID() override;
  void AddLog(const std::string& line) override;
  const std::deque<std::string>& List1() const { return list1_; }
  int16_t ReleaseCountdown() const { return releaseCountdown_; }

  // Registration and routing, called by sessions.
  void Register(int32_t lID) override;
  void CL_Broadcast(session::clsClient& oClient, std::span<const uint8_t> B) override;
  void CL_Request(session::clsClient& oClient, int32_t lngID, std::span<const uint8_t> B) override;
  void CL_Disconnect(int32_t lngID) override;
  void EventsChanged(session::clsClient& oClient) override;

  // The limits on what one participant may take (frmMainLimits.cpp).
  bool MayCreateEvent(session::clsClient& oClient) override;
  void EventAdded(session::clsClient& oClient, int32_t eventId) override;
  void EventRemoved(session::clsClient& oClient, int32_t eventId) override;
  void ClientLog(session::clsClient& oClient, const std::string& line) override;
  size_t UnsentLimit() const override;
  void UnsentChanged(int64_t delta) override;
  // The bytes waiting for all connections together, as last reckoned.
  int64_t UnsentTotal() const { return unsentTotal_; }
  const Limits& Limit() const { return limits_.Values(); }
  // Events of all registered clients together.
  int64_t EventTotal() const { return eventTotal_; }

  // The server's sockets and collections, readable by the front ends and tests.
  std::shared_ptr<net::CNetSocket> SearchSock;
  std::shared_ptr<net::CNetSocket> Listen;
  session::KeyedCollection<std::shared_ptr<session::clsClient>> colConnections;
  session::KeyedCollection<std::shared_ptr<session::clsClient>> colClients;
  std::deque<std::shared_ptr<session::clsClient>> colDisconnected;

  // How accepted connections notice a vanished client (read at start-up), and
  // the settings that could not be taken.
  const net::KeepAlive& KeepAlive() const { return keepAlive_.Values(); }
  const std::vector<std::string>& SettingsProblems() const { return settingsProblems_; }
  // Whom and where it serves (read at start-up).
  const AccessSettings& Access() const { return access_; }
  // Both server sockets are open: clients can find it and connect.
  bool Serving() const;

  net::modNetSocket& Dispatcher() { return dispatcher_; }
  const ServerConfig& Config() const { return config_; }

 private:
  net::modNetSocket& dispatcher_;
  loop::EventLoop* loop_;
  FrontEnd* frontEnd_;
  ServerConfig config_;

  std::unique_ptr<clsSettings> Settings;
  KeepAliveSettings keepAlive_;
  AccessSettings access_;
  std::vector<std::string> settingsProblems_;
  // Each kind of refusal is limited on its own: a source refused discovery is
  // still said once when it tries to connect.
  RefusalLog connectionRefusals_;
  RefusalLog discoveryRefusals_;
  // True for a request from an address the settings do not allow, logged within
  // the limits of log, with what (e.g. "connection") was refused.
  bool Refuse(const std::string& address, const char* what, RefusalLog& log);
  // Listens on the listen port at the address of the settings.
  void ListenOn(net::CNetSocket& sock);
  // Server sockets that are not open, tried again on every tick; each flag
  // says that the port has been given up on since it last worked.
  bool searchDown_ = false;
  bool listenDown_ = false;
  std::string serverName_;
  std::vector<uint8_t> nameMessage_;
  std::deque<std::string> list1_;
  int32_t lastID_ = 0;
  int16_t releaseCountdown_ = 0;
  uint64_t timerId_ = 0;
  bool unloaded_ = false;

  // Registry and routing state (frmMain.cpp).
  // Departures whose notices and ClientGone are still to go out; the outermost
  // CL_Disconnect sends them one after the other, so departures never nest deeply.
  std::deque<std::shared_ptr<session::clsClient>> pendingDepartures_;
  bool handlingDepartures_ = false;
  // Sessions whose connection ended before they registered: released on the next tick.
  std::vector<int32_t> endedUnregistered_;
  // The release clock. The first tick that finds departed sessions starts the
  // countdown at kReleaseCountdown; when it has run down to 1 the oldest goes, and
  // then one per tick. So the first one goes kReleaseCountdown + 1 ticks after its
  // departure (the countdown starts on the tick after it): that is a session's
  // full wait, and one that has waited it is released with the oldest instead of
  // behind the others, so churn cannot pile departed sessions up without bound.
  static constexpr int16_t kReleaseCountdown = 10;
  static constexpr uint32_t kReleaseWaitTicks = kReleaseCountdown + 1;
  // Timer ticks so far, and the count at each departure in colDisconnected (same order).
  uint32_t ticks_ = 0;
  std::deque<uint32_t> departureTicks_;
  void AnnounceDeparture(session::clsClient& gone);
  // What a newcomer is sent first; invalidated wherever colClients or a registered
  // client's events change.
  RosterCache roster_;
  void ReleaseEndedUnregistered();
  void ReleaseDeparted(std::vector<std::shared_ptr<session::clsClient>>& released);
  Housekeeping housekeeping_;
  // News of other clients, sent in slices (frmMain.cpp): each registration,
  // departure and broadcast moves the registry clock on by one.
  AnnouncementStream announcements_;
  uint64_t registryClock_ = 0;
  static constexpr size_t kSliceWork = 4096;    // clients and announcements per slice
  static constexpr size_t kSliceBytes = 131072;
  bool sliceScheduled_ = false;
  bool inSlice_ = false;
  RoundPacer rounds_;
  // Event ID to its owner's ID, for routing requests without a walk.
  std::unordered_map<int32_t, int32_t> eventOwner_;
  void Announce(int32_t except, std::span<const uint8_t> B, uint64_t mark);
  void ScheduleSlice();
  void AnnouncementSlice();
  // Start-up and discovery state (frmMainStartup.cpp, frmMainDiscovery.cpp).
  std::mt19937 random_;
  // Closes and opens again a server socket that fell into StateError (each tick).
  void RecoverServerSockets();

  // Limits (frmMainLimits.cpp).
  LimitSettings limits_;
  SourceRateLimiter logLimiter_;
  SourceRateLimiter discoveryLimiter_;
  int64_t eventTotal_ = 0;
  // Accepted connections in the order they came, with the tick they came on,
  // until they register or the registration timeout closes them.
  std::deque<std::pair<int32_t, uint32_t>> awaitingName_;
  // With a limit per address: each connection's address, and how many each has.
  std::unordered_map<int32_t, std::string> addressOf_;
  std::unordered_map<std::string, int32_t> connectionsFrom_;
  bool idsWrapped_ = false;
  int64_t unsentTotal_ = 0;
  bool budgetCheckDue_ = false;
  // Lets deferred work find out whether this window still exists.
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
  // Closes the connections furthest behind until all unsent bytes fit the budget.
  void EnforceBudget();
  // Closes the connections whose queue has not run dry within the write deadline.
  void EnforceWriteDeadline();
  void ReadLimits();
  // A new connection within the limits (false: it has been closed).
  bool AdmitConnection(session::clsClient& session, const std::string& address);
  void ConnectionEnded(int32_t id);
  void LimitsTick();
  bool IdInUse(int32_t id) const;
  void SourceLog(const std::string& source, const std::string& line);
};

}  // namespace toruna::server
