// Registry and routing: accepting connections, registering clients, relaying
// broadcasts and subscription requests, departures and their release by the
// timer, and the identifier counter and the log.
//
// Sends can make sessions depart at any point of a walk; every walk goes over
// the IDs as they were and looks each one up again, and every session in use is
// held by a local reference until the call that uses it returns.

#include "server/frmMain.h"

#include <algorithm>
#include <array>
#include <chrono>
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
  Listen->On().OnConnectionRequest = [this](int32_t RequestID) { Listen_ConnectionRequest(RequestID); };
  Listen->SetLocalPort(config_.listenPort);
  // Every session's connection has these; set on the listener, they come with it.
  Listen->SetNoDelay(true);
  Listen->SetKeepAliveForAccepted(keepAlive_.Values());
  ListenOn(*Listen);
}

void frmMain::ListenOn(net::CNetSocket& sock) {
  if (access_.Listen() != "0.0.0.0") {
    sock.Bind(net::Variant(config_.listenPort), net::Variant(access_.Listen()));
  }
  sock.Listen();
}

bool frmMain::Refuse(const std::string& address, const char* what, RefusalLog& log) {
  if (access_.Allows(address)) return false;
  uint32_t number = 0;
  AccessSettings::ParseAddress(address, number);
  if (log.ShouldLog(number, ticks_)) {
    AddLog(std::string(what) + " from " + address + " refused: not in AllowFrom");
  }
  return true;
}

void frmMain::Listen_ConnectionRequest(int32_t RequestID) {
  // Not accepted: the socket layer closes the connection when nobody takes it.
  if (Listen && Refuse(Listen->RemoteHostIP(), "connection", connectionRefusals_)) return;
  // From the pool of its size, with the other sessions (one per client).
  auto session = std::allocate_shared<clsClient>(base::PoolAllocator<clsClient>(), *this, dispatcher_);
  colConnections.Add(session->ID(), session);
  try {
    session->Accept(RequestID);
    // A client that vanishes without a word (power lost, cable pulled) would
    // otherwise stay registered for good. Best effort: without it all else works.
    if (!Listen || !Listen->PassesOnKeepAlive(keepAlive_.Values())) session->Sock->SetKeepAlive(keepAlive_.Values());
  } catch (...) {
    AddLog("connection received");
    // The error goes on to the caller; the session that never got its
    // connection is not kept.
    colConnections.Remove(session->ID());
    throw;
  }
  // Logged once the address is known: one address's lines are limited.
  const std::string address = session->Sock->RemoteHostIP();
  SourceLog(address, "connection received");
  if (!AdmitConnection(*session, address)) {
    session->Sock->CloseSck();
    colConnections.Remove(session->ID());
  }
}

void frmMain::CL_Disconnect(int32_t lngID) {
  ConnectionEnded(lngID);
  std::shared_ptr<clsClient>* found = colClients.Find(lngID);
  if (found == nullptr) {
    // Never registered: release it later, outside the chain that reported it.
    const std::shared_ptr<clsClient>* accepted = colConnections.Find(lngID);
    if (accepted != nullptr && !(*accepted)->Registered()) endedUnregistered_.push_back(lngID);
    return;
  }
  std::shared_ptr<clsClient> gone = *found;
  eventTotal_ -= gone->EventCount();
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
  // Only what the departure changes: each event it was subscribed to loses it,
  // and an owner whose event is left without subscribers is told so.
  for (int32_t eventId : gone.Subscriptions()) {
    const auto owner = eventOwner_.find(eventId);
    if (owner == eventOwner_.end()) continue;
    std::shared_ptr<clsClient>* entry = colClients.Find(owner->second);
    if (entry == nullptr) continue;
    std::shared_ptr<clsClient> c = *entry;
    if (c->HasEvent(eventId)) c->RemoveClientFromEvent(goneId, eventId, true, {});
  }
  // Its own events can no longer be found; their subscribers forget them.
  for (const auto& owned : gone.Events) {
    eventOwner_.erase(owned.id);
    for (const auto& subscriber : owned.item->Clients) {
      if (std::shared_ptr<clsClient> client = subscriber.item.lock()) client->NoteSubscription(owned.id, false);
    }
  }
  std::array<uint8_t, protocol::frames::kIdSize> frame;
  protocol::frames::ClientGone(frame, goneId);
  Announce(goneId, frame, ++registryClock_);
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
  if (!roster.empty()) newcomer->SendRoster(roster_.Shared(), roster.size());
  const std::vector<uint8_t> clientInfo = protocol::frames::ClientInfo(lID, newcomer->WireName());
  // The newcomer is told what happens after this mark; the others, of it.
  newcomer->registeredAt = ++registryClock_;
  Announce(lID, clientInfo, newcomer->registeredAt);
  if (colClients.Add(lID, newcomer)) roster_.Registered(clientInfo);
}

void frmMain::EventsChanged(clsClient& /*oClient*/) { roster_.Invalidate(); }

void frmMain::CL_Broadcast(clsClient& oClient, std::span<const uint8_t> B) {
  // Every frame broadcast here is news of another client: it goes out in slices,
  // to every registered client but oClient, several in one write.
  Announce(oClient.ID(), B, ++registryClock_);
}

void frmMain::Announce(int32_t except, std::span<const uint8_t> B, uint64_t mark) {
  announcements_.Add(B, mark, except);
  ScheduleSlice();
}

void frmMain::ScheduleSlice() {
  if (sliceScheduled_ || inSlice_ || announcements_.Idle()) return;
  if (loop_ == nullptr) {
    // No loop to come back on: all of it now.
    while (!announcements_.Idle()) AnnouncementSlice();
    return;
  }
  sliceScheduled_ = true;
  // A timer due at once (the loop serves the sockets that are ready first), or
  // when the next round may begin.
  auto delay = std::chrono::microseconds(0);
  if (!announcements_.InRound()) {
    const auto now = RoundPacer::Clock::now();
    delay = std::chrono::ceil<std::chrono::microseconds>(rounds_.ReadyAt(now) - now);
  }
  loop_->RunAfter(delay, [this, alive = std::weak_ptr<bool>(alive_)] {
    if (alive.lock()) AnnouncementSlice();
  });
}

void frmMain::AnnouncementSlice() {
  sliceScheduled_ = false;
  inSlice_ = true;
  // About a millisecond of work on a small machine: clients visited and
  // announcements looked at, and bytes handed out.
  size_t budget = kSliceWork;
  size_t bytes = 0;
  while (budget > 0 && bytes < kSliceBytes) {
    if (!announcements_.InRound()) {
      // Without a loop to come back on, everything goes now.
      const auto now = RoundPacer::Clock::now();
      if (loop_ != nullptr && rounds_.ReadyAt(now) > now) break;
      std::vector<int32_t> ids;
      ids.reserve(static_cast<size_t>(colClients.Count()));
      for (const auto& entry : colClients) ids.push_back(entry.id);
      const size_t clients = ids.size();
      if (!announcements_.BeginRound(std::move(ids))) break;
      rounds_.Began(clients, now);
    }
    int32_t id = 0;
    size_t position = 0;
    if (!announcements_.NextClient(id, position)) continue;
    --budget;
    std::shared_ptr<clsClient>* entry = colClients.FindNear(id, position + 1);
    if (entry == nullptr) continue;  // departed since the round began
    // A session that departs in its Send moves to colDisconnected and lives on.
    std::shared_ptr<clsClient> c = *entry;
    const size_t looked = announcements_.ForClient(
        id, c->registeredAt, [&c, &bytes](std::span<const uint8_t> run) {
          bytes += run.size();
          c->SendAnnouncement(run);
        });
    budget -= std::min(budget, looked);
  }
  inSlice_ = false;
  ScheduleSlice();
}

void frmMain::CL_Request(clsClient& oClient, int32_t lngID, std::span<const uint8_t> B) {
  const auto owner = eventOwner_.find(lngID);
  if (owner == eventOwner_.end()) return;
  std::shared_ptr<clsClient>* entry = colClients.Find(owner->second);
  if (entry == nullptr || !(*entry)->HasEvent(lngID)) return;
  std::shared_ptr<clsClient> c = *entry;
  if (B.size() > 8 && B[8] != 0) {
    c->AddClientToEvent(oClient, lngID, B);
  } else {
    c->RemoveClientFromEvent(oClient.ID(), lngID, false, B);
  }
}

void frmMain::tmrMain_Timer() {
  ++ticks_;
  RecoverServerSockets();
  LimitsTick();
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
  // Past the counter's end it starts again at 1, skipping every identifier a
  // connection or an event still holds: a long-running server that has made 2^31
  // of them goes on. No identifier in use is ever given twice.
  for (int64_t tries = 0; tries < std::numeric_limits<int32_t>::max(); ++tries) {
    if (lastID_ == std::numeric_limits<int32_t>::max()) {
      lastID_ = 0;
      if (!idsWrapped_) AddLog("identifiers used up: counting again from 1, skipping those in use");
      idsWrapped_ = true;
    }
    ++lastID_;
    if (!idsWrapped_ || !IdInUse(lastID_)) return lastID_;
  }
  throw base::RaisedError(base::kErrOverflow, "frmMain.NewID", base::kTextOverflow);
}

void frmMain::AddLog(const std::string& line) {
  list1_.push_back(line);
  while (list1_.size() > 100) list1_.pop_front();
  if (frontEnd_ != nullptr) frontEnd_->LogLineAdded(line);
}

}  // namespace toruna::server
