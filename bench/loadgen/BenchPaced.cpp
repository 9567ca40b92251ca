// Bench's paced scenarios: a publisher at a fixed rate, as sensors publish, and
// the departure storm that such a steady pair lives through.

#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <stdexcept>
#include <string>
#include <thread>

#include "Bench.h"

namespace loadgen {

RelayResult Bench::PacedWhile(double rate, const std::function<bool(double)>& more) {
  if (!tracker_ || !publisher_) throw std::logic_error("paced publishing before SetUpFanOut");
  RelayResult r;
  latencies_ = &r.latencyUs;
  CpuMeter meter(serverPid_);
  meter.Start();
  const uint64_t first = tracker_->Published();
  const uint64_t lossBefore = tracker_->Loss(), disorderBefore = tracker_->Disorder();
  const double start = Now();
  const double period = rate > 0 ? 1 / rate : 0;
  double lastProgress = start;
  uint64_t lastCompleted = tracker_->Completed();
  bool publishing = true;
  for (;;) {
    const double now = Now();
    if (publishing && !more(now)) publishing = false;
    // Every value due by now leaves in a write of its own; the window only
    // holds values back when the server falls behind, and they count as late.
    while (publishing && rate > 0 && tracker_->InFlight() < DeliveryTracker::kMaxWindow) {
      const double due = start + static_cast<double>(tracker_->Published() - first) * period;
      if (due > now) break;
      pubTime_[tracker_->Published() % 256] = due;
      proto_.Publish(*publisher_, tracker_->Publish());
      poller_.Flush(*publisher_);
    }
    if (!publishing && tracker_->InFlight() == 0) break;
    if (publishing && rate > 0 && tracker_->InFlight() < DeliveryTracker::kMaxWindow)
      poller_.WakeAt(start + static_cast<double>(tracker_->Published() - first) * period);
    PollOnce(100);
    if (tracker_->Completed() != lastCompleted || tracker_->InFlight() == 0) {
      lastCompleted = tracker_->Completed();
      lastProgress = Now();
    } else if (Now() - lastProgress > 10) {
      throw std::runtime_error("stalled: " + std::to_string(tracker_->InFlight()) +
                               " values never reached every subscriber (loss so far " +
                               std::to_string(tracker_->Loss() - lossBefore) + ")");
    }
  }
  r.cpu = meter.Read();
  r.messages = tracker_->Published() - first;
  r.deliveries = r.messages * Subscribers();
  r.seconds = r.cpu.wallS;
  r.loss = tracker_->Loss() - lossBefore;
  r.disorder = tracker_->Disorder() - disorderBefore;
  latencies_ = nullptr;
  return r;
}

RelayResult Bench::Paced(double rate, double seconds) {
  double start = -1;
  return PacedWhile(rate, [&](double now) {
    if (start < 0) start = now;
    return now - start < seconds;
  });
}

StormResult Bench::Storm(size_t clients, Departure how, double rate, double tailS) {
  if (!tracker_ || Subscribers() != 1) throw std::logic_error("Storm needs SetUpFanOut(1)");
  StormResult r;
  r.clients = clients;
  const size_t firstClient = poller_.Count();
  const double setupStart = Now();
  Crowd(clients, how == Departure::Owners ? Join::Own : Join::Idle,
        how == Departure::Owners ? "the clients to register and own something"
                                 : "the clients to register");
  r.setupS = Now() - setupStart;
  // What the joining still sends (announcements) must not count against the storm.
  Settle(0.5, 60);
  const long fdsBefore = CountOpenFds(serverPid_);
  if (serverPid_ > 0) r.rssBeforeKb = ReadRssKb(serverPid_);
  const uint64_t toldBefore = goneToSteady_;
  const uint64_t toldTarget = proto_.AnnouncesClients() ? 2 * clients : 0;  // publisher and subscriber

  // Closing thousands of sockets takes the generator a good part of a second:
  // a thread of its own does it, so that the steady publisher keeps its pace.
  std::thread closer;
  enum { Warm, Leaving, Tail } phase = Warm;
  double phaseStart = -1, stormStart = 0, lastFdCheck = 0;
  uint64_t stormSeq = 0;
  const double kWarmS = 0.3, kTimeoutS = 120;
  const auto more = [&](double now) {
    if (phaseStart < 0) phaseStart = now;
    switch (phase) {
      case Warm:
        if (now - phaseStart < kWarmS) return true;
        stormSeq = tracker_->Published();
        if (serverPid_ > 0) ResetPeakRss(serverPid_);
        stormStart = Now();
        closer = std::thread([fds = poller_.Detach(firstClient), reset = how == Departure::Reset,
                              &r, stormStart] {
          for (int fd : fds) {
            if (reset) {
              linger lg{1, 0};
              setsockopt(fd, SOL_SOCKET, SO_LINGER, &lg, sizeof lg);
            }
            close(fd);
          }
          r.closeS = Now() - stormStart;
        });
        phase = Leaving;
        return true;
      case Leaving: {
        // Counting thousands of descriptors is not free: every few milliseconds.
        if (r.fdsDoneS < 0 && now - lastFdCheck >= 0.005) {
          lastFdCheck = now;
          const long fds = CountOpenFds(serverPid_);
          if (fds < 0 || fds <= fdsBefore - static_cast<long>(clients)) r.fdsDoneS = now - stormStart;
        }
        if (r.toldDoneS < 0 && goneToSteady_ - toldBefore >= toldTarget) r.toldDoneS = now - stormStart;
        if (r.fdsDoneS >= 0 && r.toldDoneS >= 0) {
          r.doneS = std::max(r.fdsDoneS, r.toldDoneS);
          phase = Tail;
          phaseStart = now;
          return true;
        }
        if (now - stormStart > kTimeoutS)
          throw std::runtime_error("the server had not finished with the departures after " +
                                   std::to_string(static_cast<int>(kTimeoutS)) + " s");
        return true;
      }
      case Tail:
        return now - phaseStart < tailS;
    }
    return false;
  };
  try {
    r.steady = PacedWhile(rate, more);
  } catch (...) {
    if (closer.joinable()) closer.join();
    throw;
  }
  closer.join();
  if (serverPid_ > 0) r.peakKb = ReadPeakRssKb(serverPid_);
  // Only the values due from the storm on.
  auto& lat = r.steady.latencyUs;
  const size_t skip = static_cast<size_t>(stormSeq - (tracker_->Published() - r.steady.messages));
  lat.erase(lat.begin(), lat.begin() + static_cast<long>(std::min(skip, lat.size())));
  return r;
}

}  // namespace loadgen
