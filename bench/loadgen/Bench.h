#pragma once
// The scenarios: a fan-out from one publisher to N subscribers with a bounded
// window of messages in flight, or paced at a fixed rate; registering many idle
// clients at once; newcomers one at a time whose arrival the server announces
// to idle watchers; and many clients leaving at once while a steady pair goes
// on. Drives the Poller and reacts to the protocol's signals. Any failure (a
// closed connection, a broken message, a stall) throws std::runtime_error.

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "DeliveryTracker.h"
#include "Poller.h"
#include "ProcStats.h"
#include "Protocol.h"

namespace loadgen {

struct RelayResult {
  uint64_t messages = 0;
  uint64_t deliveries = 0;
  double seconds = 0;
  uint64_t loss = 0;
  uint64_t disorder = 0;
  // Publish to last subscriber when asked for; paced: from when each value was
  // due, so a value held back by the window counts as late.
  std::vector<double> latencyUs;
  CpuMeter::Reading cpu;  // the server's CPU over the run
  double Rate() const { return seconds > 0 ? static_cast<double>(deliveries) / seconds : 0; }
};

struct ScaleResult {
  size_t clients = 0;
  double seconds = 0;        // first connect to last registration
  size_t warmup = 0;         // clients registered first, not counted
  long rssColdKb = -1;       // before any client; -1: not read
  long rssBeforeKb = -1;     // after the warm-up clients, before the burst
  long rssAfterKb = -1;
  long listenDrops = -1;     // connection attempts the server's full accept queue dropped
  CpuMeter::Reading cpu;     // the server's CPU over the burst
  double settledCpuS = -1;   // ... and until it had sent everything (what the burst cost in all)
};

struct AnnounceResult {
  size_t watchers = 0;
  // Both from the moment a newcomer's registration is sent: to its own
  // ServerInfo, and to the last watcher's announcement of it.
  std::vector<double> registrationUs;
  std::vector<double> announcementUs;
  size_t rosterErrors = 0;  // newcomers not told of exactly every client before them
};

enum class Departure { Close, Reset, Owners };  // Owners: each owns something, then closes

struct StormResult {
  size_t clients = 0;
  double setupS = 0;         // joining (and owning) before the storm
  double closeS = 0;         // the generator's time to close them all (a thread of its own)
  double fdsDoneS = -1;      // from the first close until the server has closed every one
  double toldDoneS = -1;     // ... until the steady pair was told of every departure
  double doneS = -1;         // the later of the two
  long rssBeforeKb = -1, peakKb = -1;
  RelayResult steady;        // the steady pair; latencyUs from the storm's start on
};

class Bench : private SignalSink {
 public:
  Bench(Protocol& proto, uint16_t port, size_t maxPending, pid_t serverPid);

  // Connects and registers the publisher, then `subscribers` subscribers, and
  // waits until every subscription has been processed by the server.
  void SetUpFanOut(size_t subscribers);
  // Publishes for `seconds` (or until `maxMessages`), never more than `window`
  // messages beyond those that reached every subscriber, then waits for the
  // rest. Sequence numbers continue from the previous run.
  RelayResult Relay(size_t window, double seconds, uint64_t maxMessages, bool keepLatencies);
  // After SetUpFanOut: one value every 1/rate seconds, each in a write of its
  // own, for `seconds` (rate 0: nothing, the clients idle), then waits for
  // those in flight. The server's CPU is read over the whole of it.
  RelayResult Paced(double rate, double seconds);
  // Registers `clients` idle clients, at most maxPending connecting at a time,
  // and reads the server's resident memory before and after.
  ScaleResult ConnectMany(size_t clients);
  // Registers `watchers` idle clients, then `newcomers` clients one after
  // another, each waited for until it is registered and every watcher has been
  // told of it by name. The newcomers stay connected. Needs a protocol that
  // announces clients.
  AnnounceResult Announce(size_t watchers, uint64_t newcomers);
  // After SetUpFanOut(1): registers `clients` more (owning something each for
  // Departure::Owners), lets the pair run paced at `rate`, then closes all of
  // them at once; the pair goes on until the server has finished with the
  // departures and `tailS` seconds more.
  StormResult Storm(size_t clients, Departure how, double rate, double tailS);

 private:
  enum class Join { Idle, Subscribe, Own };

  void OnSignal(Connection& c, Signal s, uint8_t value) override;
  void OnAnnounced(Connection& c, std::string_view name) override;
  void OnGone(Connection& c) override;
  size_t OnReceived(Connection& c, const uint8_t* data, size_t n);
  // Opens `n` clients that each register and then do `how`, at most
  // maxPending_ of them unfinished at a time, and waits for all of them.
  void Crowd(size_t n, Join how, const char* what);
  template <class Done>
  void WaitUntil(Done done, double timeoutS, const char* what);
  void PollOnce(int timeoutMs);
  // Reads (and parses) until `quietS` pass without a byte, or `maxS` in all.
  void Settle(double quietS, double maxS);
  // The paced publisher: runs until `more(now)` is false, then drains.
  RelayResult PacedWhile(double rate, const std::function<bool(double)>& more);
  size_t Subscribers();

  Protocol& proto_;
  Poller poller_;
  Poller::Handlers handlers_;
  size_t maxPending_;
  pid_t serverPid_;

  Connection* publisher_ = nullptr;
  bool publisherReady_ = false;
  size_t opened_ = 0;       // clients other than the publisher
  size_t registered_ = 0;   // of those
  double lastRegistered_ = 0;
  Join join_ = Join::Idle;  // what the crowd being opened does once registered
  size_t crowdOpened_ = 0, crowdReady_ = 0;

  std::unique_ptr<DeliveryTracker> tracker_;
  double pubTime_[256] = {};
  std::vector<double>* latencies_ = nullptr;  // when set, the latencies are kept
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

  uint64_t goneToSteady_ = 0;          // departures the publisher and subscribers were told of
};

}  // namespace loadgen
