#pragma once
// The scenarios: a fan-out from one publisher to N subscribers with a bounded
// window of messages in flight, and registering many idle clients at once.
// Drives the Poller and reacts to the protocol's signals. Any failure
// (a closed connection, a broken message, a stall) throws std::runtime_error.

#include <sys/types.h>

#include <cstdint>
#include <memory>
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

 private:
  void OnSignal(Connection& c, Signal s, uint8_t value) override;
  void OnReceived(Connection& c);
  void OpenPending(size_t target);
  template <class Done>
  void WaitUntil(Done done, double timeoutS, const char* what);
  void PollOnce(int timeoutMs);

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
};

double Now();  // monotonic seconds
long ReadRssKb(pid_t pid);  // VmRSS from /proc/PID/status; -1 when unreadable
// TcpExt ListenDrops of this network namespace; -1 when unreadable.
long ReadListenDrops();

}  // namespace loadgen
