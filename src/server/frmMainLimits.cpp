// The limits on what one participant may take: events, connections that never
// register, connections per address, unsent bytes, log lines and discovery
// replies per address, and identifiers after the counter's end. What happens at
// each is what happens to misbehaviour: the connection is closed, with one line.

#include <algorithm>
#include <cstdlib>
#include <utility>
#include <vector>

#include "loop/EventLoop.h"

#include "net/CNetSocket.h"
#include "server/frmMain.h"

namespace toruna::server {

using session::clsClient;

void frmMain::ReadLimits() {
  limits_ = LimitSettings::Read(*Settings);
  settingsProblems_ = keepAlive_.Problems();
  settingsProblems_.insert(settingsProblems_.end(), limits_.Problems().begin(),
                           limits_.Problems().end());
  logLimiter_.SetRate(Limit().logLinesPerSecond);
  discoveryLimiter_.SetRate(Limit().discoveryRepliesPerSecond);
  // For tests only: where the identifier counter stands at start, so that its
  // end can be reached in a test run.
  if (const char* last = std::getenv("TORUNA_TEST_LAST_ID"); last != nullptr && *last != '\0') {
    lastID_ = static_cast<int32_t>(std::strtol(last, nullptr, 10));
  }
}

size_t frmMain::UnsentLimit() const { return static_cast<size_t>(Limit().maxUnsentBytes); }

namespace {

// Who a line about a closed connection names: the client, or its address before it registered.
std::string Label(clsClient& client) {
  return client.Registered() ? client.name() : "connection from " + client.Sock->RemoteHostIP();
}

}  // namespace

void frmMain::SourceLog(const std::string& source, const std::string& line) {
  if (logLimiter_.Allow(source)) AddLog(line);
}

void frmMain::ClientLog(clsClient& oClient, const std::string& line) {
  SourceLog(oClient.Sock->RemoteHostIP(), line);
}

bool frmMain::MayCreateEvent(clsClient& oClient) {
  // A departed session whose last frames are still handled creates nothing.
  if (!colClients.Contains(oClient.ID())) return false;
  const Limits& limit = Limit();
  std::string reason;
  if (oClient.EventCount() >= limit.maxEventsPerClient) {
    reason = std::to_string(limit.maxEventsPerClient) + " events of its own";
  } else if (eventTotal_ >= limit.maxEvents) {
    reason = std::to_string(limit.maxEvents) + " events in all";
  } else {
    ++eventTotal_;
    return true;
  }
  ClientLog(oClient, oClient.name() + " closed: more than " + reason);
  return false;
}

void frmMain::EventAdded(clsClient& oClient, int32_t eventId) { eventOwner_[eventId] = oClient.ID(); }

void frmMain::EventRemoved(clsClient& oClient, int32_t eventId) {
  // A departed client's events were taken off at its departure.
  if (!colClients.Contains(oClient.ID())) return;
  eventOwner_.erase(eventId);
  if (eventTotal_ > 0) --eventTotal_;
}

bool frmMain::AdmitConnection(clsClient& session, const std::string& address) {
  if (Limit().registrationTimeout > 0) awaitingName_.emplace_back(session.ID(), ticks_);
  const int32_t most = Limit().maxConnectionsPerAddress;
  if (most <= 0) return true;
  int32_t& count = connectionsFrom_[address];
  if (count >= most) {
    if (count == 0) connectionsFrom_.erase(address);
    SourceLog(address, "connection from " + address + " closed: more than " +
                           std::to_string(most) + " from that address");
    return false;
  }
  ++count;
  addressOf_.emplace(session.ID(), address);
  return true;
}

void frmMain::ConnectionEnded(int32_t id) {
  auto found = addressOf_.find(id);
  if (found == addressOf_.end()) return;
  auto from = connectionsFrom_.find(found->second);
  if (from != connectionsFrom_.end() && --from->second <= 0) connectionsFrom_.erase(from);
  addressOf_.erase(found);
}

void frmMain::LimitsTick() {
  // Connections that have not sent their name in time hold a descriptor each
  // that a client who means to register could use.
  const int32_t timeout = Limit().registrationTimeout;
  while (!awaitingName_.empty()) {
    const auto [id, since] = awaitingName_.front();
    // Ticks come once a second: more than the timeout in ticks is at least its seconds.
    const bool due = timeout > 0 && ticks_ - since > static_cast<uint32_t>(timeout);
    const std::shared_ptr<clsClient>* found = colConnections.Find(id);
    const bool waiting = found != nullptr && !(*found)->Registered() &&
                         (*found)->Sock->State() == net::StateConnected;
    if (waiting && !due) break;
    awaitingName_.pop_front();
    if (!waiting) continue;
    std::shared_ptr<clsClient> silent = *found;
    ClientLog(*silent, "connection from " + silent->Sock->RemoteHostIP() + " closed: no name within " +
                           std::to_string(timeout) + " s");
    silent->Close();
  }
  EnforceWriteDeadline();
  EnforceBudget();
  logLimiter_.Tick([this](const std::string& source, uint64_t suppressed) {
    AddLog(std::to_string(suppressed) + " log lines caused by " +
           (source.empty() ? std::string("other addresses") : source) + " suppressed");
  });
  uint64_t unanswered = 0;
  discoveryLimiter_.Tick([&unanswered](const std::string&, uint64_t suppressed) { unanswered += suppressed; });
  if (unanswered > 0) {
    AddLog(std::to_string(unanswered) + " discovery requests unanswered (more than " +
           std::to_string(Limit().discoveryRepliesPerSecond) + " a second from one address)");
  }
}

bool frmMain::IdInUse(int32_t id) const {
  if (colConnections.Contains(id)) return true;
  for (const auto& entry : colConnections) {
    if (entry.item->Events.Contains(id)) return true;
  }
  return false;
}

void frmMain::UnsentChanged(int64_t delta) {
  unsentTotal_ += delta;
  const int32_t budget = Limit().unsentBudget;
  if (budget <= 0 || unsentTotal_ <= budget || budgetCheckDue_) return;
  // Not inside the send that crossed the line (a walk over the sessions may be
  // under way): once the batch is over.
  budgetCheckDue_ = true;
  if (loop_ == nullptr) return;  // the next tick checks
  loop_->Defer([this, alive = std::weak_ptr<bool>(alive_)] {
    if (alive.lock()) EnforceBudget();
  });
}

void frmMain::EnforceBudget() {
  budgetCheckDue_ = false;
  std::vector<std::pair<size_t, int32_t>> behind;
  int64_t total = 0;
  for (const auto& entry : colConnections) {
    const size_t unsent = entry.item->SyncUnsent();
    if (unsent == 0) continue;
    total += static_cast<int64_t>(unsent);
    behind.emplace_back(unsent, entry.id);
  }
  unsentTotal_ = total;
  const int64_t budget = Limit().unsentBudget;
  if (budget <= 0 || total <= budget) return;
  // The furthest behind give way first: readers that keep up have little waiting.
  std::sort(behind.begin(), behind.end(), std::greater<>());
  for (const auto& [unsent, id] : behind) {
    if (unsentTotal_ <= budget) break;
    const std::shared_ptr<clsClient>* found = colConnections.Find(id);
    if (found == nullptr) continue;
    std::shared_ptr<clsClient> slow = *found;
    if (slow->Sock->State() != net::StateConnected) continue;
    ClientLog(*slow, Label(*slow) + " closed: " + std::to_string(unsent) +
                         " bytes unread when all connections together had more than " +
                         std::to_string(budget) + " waiting");
    slow->Close();  // reports its bytes gone
  }
}

void frmMain::EnforceWriteDeadline() {
  const int32_t deadline = Limit().writeDeadline;
  std::vector<int32_t> stalled;
  for (const auto& entry : colConnections) {
    const uint32_t ticks = entry.item->StalledTicks();
    if (deadline > 0 && ticks > static_cast<uint32_t>(deadline)) stalled.push_back(entry.id);
  }
  for (int32_t id : stalled) {
    const std::shared_ptr<clsClient>* found = colConnections.Find(id);
    if (found == nullptr) continue;
    std::shared_ptr<clsClient> slow = *found;
    if (slow->Sock->State() != net::StateConnected) continue;
    ClientLog(*slow, Label(*slow) + " closed: read nothing of " + std::to_string(slow->Unsent()) +
                         " waiting bytes for " + std::to_string(deadline) + " s");
    slow->Close();
  }
}

}  // namespace toruna::server
