// Registry and routing: accepting connections, registering clients, relaying
// broadcasts and subscription requests, departures and their release by the
// timer, and the identifier counter and the log.
//
// Sends can make sessions depart at any point of a walk; every walk goes over
// the IDs as they were and looks each one up again, and every session in use is
// held by a local reference until the call that uses it returns.

#include "server/frmMain.h"

#include <array>
#include <algorithm>
#include <limits>

#include "base/BlockPool.h"
#include "base/RaisedError.h"
#include "loop/EventLoop.h"
#include "net/CNetSocket.h"
#include "protocol/Frame.h"

namespace toruna::server {

using session::clsClient;
using session::IdSnapshot;


frmMain::frmMain(net::modNetSocket& dispatcher, loop::EventLoop* loop, FrontEnd* frontEnd,
                 ServerConfig config)
    : dispatcher_(dispatcher), loop_(loop), frontEnd_(frontEnd), config_(std::move(config)) {}

frmMain::~frmMain() {
  if (loop_ != nullptr && timerId_ != 0) loop_->CancelTimer(timerId_);
  // Sessions end with their sockets; none of them may call back in here now.
  pendingDepartures_.clear();
  colDisconnected.clear();
  departureTicks_.clear();
  colClients.Clear();
  colConnections.Clear();
  if (Listen) Listen->CloseSck();
  if (SearchSock) SearchSock->CloseSck();
}

void frmMain::OpenListenSocket() {
  Listen = net::CNetSocket::Create(dispatcher_);
  Listen->OnConnectionRequest = [this](int32_t RequestID) { Listen_ConnectionRequest(RequestID); };
  Listen->SetLocalPort(config_.listenPort);
  Listen->Listen();
}

void frmMain::Listen_ConnectionRequest(int32_t RequestID) {
  AddLog("connection received");
  // From the pool of its size, with the other sessions (one per client).
  auto session = std::allocate_shared<clsClient>(base::PoolAllocator<clsClient>(), *this, dispatcher_);
  colConnections.Add(session->ID(), session);
  try {
    session->Accept(RequestID);
    // A client that vanishes without a word (power lost, cable pulled) would
    // otherwise stay registered for good. Best effort: without it all else works.
    session->Sock->SetKeepAlive(keepAlive_.Values());
  } catch (...) {
    // The error goes on to the caller; the session that never got its
    // connection is not kept.
    colConnections.Remove(session->ID());
    throw;
  }
}

void frmMain::CL_Disconnect(int32_t lngID) {
  std::shared_ptr<clsClient>* found = colClients.Find(lngID);
  if (found == nullptr) {
    // Never registered: release it later, outside the chain that reported it.
    const std::shared_ptr<clsClient>* accepted = colConnections.Find(lngID);
    if (accepted != nullptr && !(*accepted)->Registered()) endedUnregistered_.push_back(lngID);
    return;
  }
  std::shared_ptr<clsClient> gone = *found;
  colDisconnected.push_back(gone);
  departureTicks_.push_back(ticks_);
  colClients.Remove(lngID);
  roster_.Invalidate();
  pendingDepartures_.push_back(std::move(gone));
  if (handlingDepartures_) return;  // the outermost call tells the others

  handlingDepartures_ = true;
  struct Reset {
    bool& flag;
    ~Reset() { flag = false; }
  } reset{handlingDepartures_};
  while (!pendingDepartures_.empty()) {
    std::shared_ptr<clsClient> next = std::move(pendingDepartures_.front());
    pendingDepartures_.pop_front();
    AnnounceDeparture(*next);
  }
}

void frmMain::AnnounceDeparture(clsClient& gone) {
  const int32_t goneId = gone.ID();
  // Every remaining owner drops the departed client; an event left without
  // subscribers is reported to its owner, subscribed to or not.
  IdSnapshot owners(colClients);
  for (size_t i = 0; i < owners.size(); ++i) {
    std::shared_ptr<clsClient>* entry = colClients.FindNear(owners[i], i + 1);
    if (entry == nullptr) continue;
    std::shared_ptr<clsClient> owner = *entry;
    IdSnapshot events(owner->Events);
    for (size_t e = 0; e < events.size(); ++e) {
      if (!colClients.Contains(owners[i])) break;  // the owner departed meanwhile
      if (!owner->Events.Contains(events[e])) continue;
      owner->RemoveClientFromEvent(goneId, events[e], true, {});
    }
  }
  std::array<uint8_t, protocol::frames::kIdSize> frame;
  protocol::frames::ClientGone(frame, goneId);
  CL_Broadcast(gone, frame);
}

void frmMain::Register(int32_t lID) {
  std::shared_ptr<clsClient>* found = colConnections.Find(lID);
  if (found == nullptr) return;
  std::shared_ptr<clsClient> newcomer = *found;

  // Every client registered so far, each followed by its events, as one run of frames.
  const std::vector<uint8_t>& roster = roster_.Get([this, lID](RosterCache& cache) {
    for (const auto& entry : colClients) {
      if (entry.id == lID) continue;
      const clsClient& c = *entry.item;
      cache.AddClient(c.ID(), c.WireName());
      for (const auto& owned : c.Events) {
        const session::clsEvent& event = *owned.item;
        cache.AddEvent(c.ID(), event.ID(), event.Interval(), event.Max(), event.WireText());
      }
    }
  });
  if (!roster.empty()) newcomer->Send(roster);
  const std::vector<uint8_t> clientInfo = protocol::frames::ClientInfo(lID, newcomer->WireName());
  CL_Broadcast(*newcomer, clientInfo);
  if (colClients.Add(lID, newcomer)) roster_.Registered(clientInfo);
}

void frmMain::EventsChanged(clsClient& /*oClient*/) { roster_.Invalidate(); }

void frmMain::CL_Broadcast(clsClient& oClient, std::span<const uint8_t> B) {
  const int32_t except = oClient.ID();
  IdSnapshot registered(colClients);
  for (size_t i = registered.size(); i-- > 0;) {
    if (registered[i] == except) continue;
    std::shared_ptr<clsClient>* entry = colClients.FindNear(registered[i], i + 1);
    if (entry == nullptr) continue;  // departed during this walk
    // No reference is taken: a session that departs in its Send moves to
    // colDisconnected and lives on until the timer releases it.
    clsClient& c = **entry;
    // Every frame broadcast here is news of another client: it may wait a little
    // to share a write with the next (a burst of registrations announces each
    // newcomer to everybody).
    c.SendAnnouncement(B);
  }
}

void frmMain::CL_Request(clsClient& oClient, int32_t lngID, std::span<const uint8_t> B) {
  for (const auto& entry : colClients) {
    if (!entry.item->HasEvent(lngID)) continue;
    std::shared_ptr<clsClient> owner = entry.item;  // the loop ends here; the walk is over
    if (B.size() > 8 && B[8] != 0) {
      owner->AddClientToEvent(oClient, lngID, B);
    } else {
      owner->RemoveClientFromEvent(oClient.ID(), lngID, false, B);
    }
    return;
  }
}

void frmMain::tmrMain_Timer() {
  ++ticks_;
  RecoverServerSockets();
  ReleaseEndedUnregistered();
  if (releaseCountdown_ == 1) {
    if (colDisconnected.empty()) {
      releaseCountdown_ = 0;
    } else {
      // The oldest goes on every tick, as the countdown has it; so does every
      // other one that departed its full wait ago (a burst leaves together).
      std::vector<std::shared_ptr<clsClient>> released;
      do {
        released.push_back(std::move(colDisconnected.front()));
        colDisconnected.pop_front();
        if (departureTicks_.size() > colDisconnected.size()) departureTicks_.pop_front();
      } while (!colDisconnected.empty() && departureTicks_.size() == colDisconnected.size() &&
               ticks_ - departureTicks_.front() >= kReleaseWaitTicks);
      ReleaseDeparted(released);
    }
  } else if (releaseCountdown_ <= 0) {
    if (!colDisconnected.empty()) releaseCountdown_ = kReleaseCountdown;
  } else {
    --releaseCountdown_;
  }
  housekeeping_.Tick(colConnections, roster_);
}

void frmMain::ReleaseDeparted(std::vector<std::shared_ptr<clsClient>>& released) {
  // A session that re-registered while departing may still be listed; drop only this one.
  std::vector<int32_t> ids;
  for (const std::shared_ptr<clsClient>& session : released) {
    const std::shared_ptr<clsClient>* accepted = colConnections.Find(session->ID());
    if (accepted != nullptr && *accepted == session && !colClients.Contains(session->ID())) {
      ids.push_back(session->ID());
    }
  }
  colConnections.RemoveIds(ids);
}

void frmMain::ReleaseEndedUnregistered() {
  std::vector<int32_t> ended;
  ended.swap(endedUnregistered_);
  // One that registered after all is released through colDisconnected instead.
  std::erase_if(ended, [this](int32_t id) {
    const std::shared_ptr<clsClient>* accepted = colConnections.Find(id);
    return accepted == nullptr || (*accepted)->Registered();
  });
  colConnections.RemoveIds(ended);
}

int32_t frmMain::NewID() {
  if (lastID_ == std::numeric_limits<int32_t>::max()) {
    throw base::RaisedError(base::kErrOverflow, "frmMain.NewID", base::kTextOverflow);
  }
  return ++lastID_;
}

void frmMain::AddLog(const std::string& line) {
  list1_.push_back(line);
  while (list1_.size() > 100) list1_.pop_front();
  if (frontEnd_ != nullptr) frontEnd_->LogLineAdded(line);
}

}  // namespace toruna::server
