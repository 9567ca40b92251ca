#pragma once
// Everything the bridge publishes passes through here on its way to the
// broker, so that nothing is lost while the broker is away and no single
// topic or QoS the broker refuses can stop the rest.
//
// - Values keep their order. While the broker is away they wait, up to a
//   limit in values and in bytes; past it the oldest are dropped (said once
//   per outage), and once the broker is back they go out in order.
// - Retained state (status, metas, availability, configs) waits too, but only
//   the latest message of a topic matters: a newer one takes the place of an
//   older one still waiting, so a description still comes before the values
//   that follow it.
// - Messages handed to the broker and not yet confirmed go back to the front
//   when the connection breaks, and are sent again (at least once).
// - A broker that closes the connection right after a publication (NATS does
//   so for a topic it cannot map, and for QoS 2) is diagnosed: the first
//   message on a topic it never accepted is the suspect. After reconnecting it
//   is sent alone, and everything else waits for its answer. Refused again, at
//   QoS 2 it is tried at QoS 1 (and if that passes, everything is published at
//   QoS 1 from then on); at QoS 1 its topic is refused: nothing more is sent
//   there, with one line on standard error.
//
// This class does not own the port.

#include <cstdint>
#include <functional>
#include <list>
#include <optional>
#include <set>
#include <string>
#include <unordered_map>

#include "MqttPort.h"

namespace toruna::bridge {

struct OutboxLimits {
  size_t values = 100000;
  size_t bytes = 16u << 20;  // topics and payloads of the waiting values
};

class Outbox {
 public:
  using Say = std::function<void(const std::string&)>;
  // Messages handed to the broker at once and not yet confirmed.
  static constexpr size_t kWindow = 100;

  Outbox(MqttPort& port, int qos, OutboxLimits limits, Say say);
  Outbox(const Outbox&) = delete;
  Outbox& operator=(const Outbox&) = delete;

  void Value(const std::string& topic, std::string payload, bool retain);
  // A retained message; an empty payload clears the topic.
  void State(const std::string& topic, std::string payload);

  // What the port reports. Nothing goes out on a new connection before
  // Connected, so that what the caller publishes first takes its place.
  void Connected();
  // abrupt: the broker closed an established connection (rather than an
  // attempt that failed, a keepalive that lapsed, or a close of our own).
  void Down(bool abrupt);
  void Confirmed(MqttPort::Ticket ticket);
  // Once a second: QoS 0 messages written a tick ago and not followed by a
  // close count as accepted.
  void Tick();
  // Another connection to the same broker takes over (what was in flight
  // on the former one is sent again).
  void SetPort(MqttPort& port);

  int Qos() const { return qos_; }
  bool Refused(const std::string& topic) const { return refused_.count(topic) != 0; }
  size_t WaitingValues() const { return waitingValues_; }
  size_t InFlight() const { return flight_.size(); }

  // Values that had to wait for the broker since the last report.
  struct Outage {
    uint64_t waited = 0;
    uint64_t delivered = 0;
    uint64_t dropped = 0;
  };
  const Outage& Counts() const { return outage_; }

 private:
  struct Entry {
    std::string topic;
    std::string payload;
    bool retain = false;
    bool value = false;   // a value, not retained state
    bool waited = false;  // counted in the outage figures
    MqttPort::Ticket ticket = 0;
  };
  using List = std::list<Entry>;

  void Enqueue(Entry e, bool atFront);
  // Out of the queue, with its accounting.
  Entry Take(List::iterator it);
  void DropOldestValue();
  void Pump();
  bool Send(Entry e, int qos);
  void Settled(Entry& e);
  void Verdict();
  void Report();

  MqttPort* port_;
  int qos_;
  OutboxLimits limits_;
  Say say_;

  List queue_;                                           // waiting, in order
  std::unordered_map<std::string, List::iterator> stateAt_;  // waiting state by topic
  size_t waitingValues_ = 0;
  size_t waitingBytes_ = 0;
  List flight_;  // handed over, in order
  std::unordered_map<MqttPort::Ticket, List::iterator> byTicket_;
  List written_;      // QoS 0, written within the last tick or two
  size_t writtenMark_ = 0;  // how many of written_ were there at the last tick

  std::set<std::string> accepted_;  // topics the broker has taken
  std::set<std::string> refused_;
  struct Probe {
    Entry entry;
    int qos = 1;
    bool sent = false;
  };
  std::optional<Probe> probe_;

  bool open_ = false;  // Connected since the last Down
  Outage outage_;
  bool dropping_ = false;  // said that values are dropped, this outage
};

}  // namespace toruna::bridge
