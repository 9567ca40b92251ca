#pragma once
// The churn soak's clients on one thread and one epoll instance. Each of the
// churning slots runs cycles: connect, register, create an event, subscribe to
// another slot's event, publish, unsubscribe (mostly), leave (closing, reset,
// or with half a frame sent first) and start again. A few clients stay for the
// whole run: one publishes steadily, the others subscribe to it and must get
// every value, in order. Every value any client receives is checked against
// its subscription. Any fault ends the run with a message.

#include <cstdint>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "Wire.h"

namespace soak {

struct Options {
  int clients = 200;
  uint64_t cycles = 1000000;
  double seconds = 3600;    // the run stops here even if the cycles are not done
  double progress = 5;      // seconds between progress lines
  double settle = 30;       // seconds allowed to get back to the baseline
  // Clients between their connect and the server's answer to their registration,
  // at most. The server listens with the largest backlog the system allows
  // (net.core.somaxconn), and Linux drops a connection beyond it silently (the
  // client retries after 1, 3, 7 s...); staying far below it keeps the run a
  // measure of the churn, not of the backlog. Bursts are another test's matter.
  int maxJoining = 64;
  int serverPid = 0;
  uint16_t port = 13131;
  uint32_t seed = 1;
};

struct Totals {
  uint64_t cycles = 0;
  uint64_t resets = 0, midFrame = 0, skippedUnsubscribe = 0;
  uint64_t valuesSeen = 0;        // values received by churning subscribers
  uint64_t stayerPublished = 0;   // values the steady publisher sent
  uint64_t stayerDelivered = 0;   // values its subscribers got, all together
  double elapsed = 0;
};

class Soak {
 public:
  explicit Soak(const Options& options);
  ~Soak();
  // Runs until the cycles are done or the time is up, then closes every client
  // after checking that the steady subscribers got every value. Throws on a fault.
  Totals Run();

 private:
  enum class State { Connecting, Registering, Creating, Subscribing, Publishing, Pausing, Unsubscribing, Steady };
  struct Conn {
    int fd = -1;
    int slot = 0;
    bool stayer = false;
    bool publisher = false;  // the steady publisher
    State state = State::Connecting;
    double since = 0;        // when the state began
    std::vector<uint8_t> in, out;
    size_t outOff = 0;
    bool writeArmed = false;
    int32_t eventId = 0;     // its own event
    int32_t subscribedTo = 0;
    int32_t leftEvent = 0;   // the event it unsubscribed from: nothing more may come
    int lastValue = -1;      // last value of subscribedTo, -1 before the first
    int barriers = 0;        // barrier answers still to come
    uint8_t nextValue = 0;
    int rounds = 0;          // publishing rounds still to go this cycle
    double resumeAt = 0;     // when the next round starts (while pausing)
    uint64_t received = 0;
  };

  void Open(int slot, bool stayer, bool publisher);
  void Leave(Conn& c);
  void Fail(const Conn& c, const std::string& what) const;
  void Flush(Conn& c);
  void Receive(Conn& c);
  void OnFrame(Conn& c, const FrameRef& f);
  void OnBarrier(Conn& c);
  void PublishRound(Conn& c);
  void ResumePaused();
  void OnValue(Conn& c, int32_t event, uint8_t value);
  void Enter(Conn& c, State s);
  void Poll(int timeoutMs);
  void Progress(bool force);
  void CheckStuck();
  double Now() const;
  void FinishSteady();

  Options options_;
  Totals totals_;
  int epfd_ = -1;
  std::vector<std::unique_ptr<Conn>> slots_;     // churning, by slot
  std::vector<std::unique_ptr<Conn>> stayers_;   // [0] publishes
  std::vector<int32_t> liveEvents_;              // events of connected churning clients
  std::mt19937 random_;
  double start_ = 0, lastProgress_ = 0, lastProgressCycles_ = 0, lastPublish_ = 0;
  uint64_t generation_ = 0;
  bool churning_ = true;
  int joining_ = 0;  // churning clients connecting or registering
};

}  // namespace soak
