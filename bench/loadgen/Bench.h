#pragma once
// The scenarios: a fan-out from one publisher to N subscribers with a bounded
// window of messages in flight, registering many idle clients at once, and
// newcomers one at a time whose arrival the server announces to idle watchers.
// Drives the Poller and reacts to the protocol's signals. Any failure
// (a closed connection, a broken message, a stall) throws std::runtime_error.

#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "DeliveryTracker.h"
#include "Poller.h"
#include "Protocol.h"

namespace loadgen {

struct RelayResult {
  uint64_t messages = 0;
  uint64_t deliveries = 0;
  double seconds = 0;
  uint64_t loss = 0;
  uint64_t disorder = 0;
  std::vector<double> latencyUs;  // publish to last subscriber, when asked for
  double Rate() const { return seconds > 0 ? static_cast<double>(deliveries) / seconds : 0; }
};

struct ScaleResult {
  size_t clients = 0;
  double seconds = 0;        // first connect to last registration
  long rssBeforeKb = -1;     // -1: not read
  long rssAfterKb = -1;
  long listenDrops = -1;     // connection attempts the server's full accept queue dropped
};

struct AnnounceResult {
  size_t watchers = 0;
  // Both from the moment a newcomer's registration is sent: to its own
  // ServerInfo, and to the last watcher's announcement of it.
  std::vector<double> registrationUs;
  std::vector<double> announcementUs;
  size_t rosterErrors = 0;  // newcomers not told of exactly every client before them
};

class Bench : private SignalSink {
 public:
  Bench(Protocol& proto, uint16_t port, size_t maxPending);

  // Connects and registers the publisher, then `subscribers` subscribers, and
  // waits until every subscription has been processed by the server.
  void SetUpFanOut(size_t subscribers);
  // Publishes for `seconds` (or until `maxMessages`), never more than `window`
  // messages beyond those that reached every subscriber, then waits for the
  // rest. Sequence numbers continue from the previous run.
  RelayResult Relay(size_t window, double seconds, uint64_t maxMessages, bool keepLatencies);
  // Registers `clients` idle clients, at most maxPending connecting at a time,
  // and reads the server's resident memory before and after (pid 0: skipped).
  ScaleResult ConnectMany(size_t clients, pid_t serverPid);
  // Registers `watchers` idle clients, then `newcomers` clients one after
  // another, each waited for until it is registered and every watcher has been
  // told of it by name. The newcomers stay connected. Needs a protocol that
  // announces clients.
  AnnounceResult Announce(size_t watchers, uint64_t newcomers);

 private:
  void OnSignal(Connection& c, Signal s, uint8_t value) override;
  void OnAnnounced(Connection& c, std::string_view name) override;
  void OnReceived(Connection& c);
  void OpenPending(size_t target);
  template <class Done>
  void WaitUntil(Done done, double timeoutS, const char* what);
  void PollOnce(int timeoutMs);
  // Reads (and parses) until `quietS` pass without a byte, or `maxS` in all.
  void Settle(double quietS, double maxS);

  Protocol& proto_;
  Poller poller_;
  Poller::Handlers handlers_;
  size_t maxPending_;
  bool subscribeOnRegister_ = false;

  Connection* publisher_ = nullptr;
  bool publisherReady_ = false;
  size_t opened_ = 0;       // clients other than the publisher
  size_t registered_ = 0;   // of those
  size_t subscribed_ = 0;
  double lastRegistered_ = 0;

  std::unique_ptr<DeliveryTracker> tracker_;
  double pubTime_[256] = {};
  bool keepLatencies_ = false;
  std::vector<double>* latencies_ = nullptr;
  double lastCompletion_ = 0;

  // Announce: connections [0, watchers_) are the watchers.
  size_t watchers_ = 0;
  Connection* newcomer_ = nullptr;
  std::string newcomerName_;
  uint64_t round_ = 0;                 // the current newcomer, from 1
  std::vector<uint64_t> toldInRound_;  // per watcher: the last round it was told of
  size_t told_ = 0;                    // watchers told of the current newcomer
  size_t rosterSeen_ = 0;              // clients the newcomer was told of before ServerInfo
  double sentAt_ = 0, registeredAt_ = 0, allToldAt_ = 0;
};

double Now();  // monotonic seconds
long ReadRssKb(pid_t pid);  // VmRSS from /proc/PID/status; -1 when unreadable
// TcpExt ListenDrops of this network namespace; -1 when unreadable.
long ReadListenDrops();

}  // namespace loadgen
