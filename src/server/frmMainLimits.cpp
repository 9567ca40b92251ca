// The limits on what one participant may take: events, connections that never
// register, connections per address, unsent bytes, log lines and discovery
// replies per address, and identifiers after the counter's end. What happens at
// each is what happens to misbehaviour: the connection is closed, with one line.

#include <cstdlib>

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

void frmMain::EventRemoved(clsClient& oClient) {
  // A departed client's events were taken off the total at its departure.
  if (colClients.Contains(oClient.ID()) && eventTotal_ > 0) --eventTotal_;
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

}  // namespace toruna::server
