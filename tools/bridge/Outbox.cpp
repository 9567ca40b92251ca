#include "Outbox.h"

#include <algorithm>

namespace toruna::bridge {

Outbox::Outbox(MqttPort& port, int qos, OutboxLimits limits, Say say)
    : port_(&port), qos_(qos), limits_(limits), say_(std::move(say)) {}

void Outbox::Value(const std::string& topic, std::string payload, bool retain) {
  if (Refused(topic)) return;
  Entry e{topic, std::move(payload), retain, true};
  if (!open_) {
    e.waited = true;
    ++outage_.waited;
  }
  Enqueue(std::move(e), false);
  Pump();
}

void Outbox::State(const std::string& topic, std::string payload) {
  if (Refused(topic)) return;
  Enqueue(Entry{topic, std::move(payload), true, false}, false);
  Pump();
}

void Outbox::Enqueue(Entry e, bool atFront) {
  const auto pos = atFront ? queue_.begin() : queue_.end();
  if (!e.value) {
    auto at = stateAt_.find(e.topic);
    if (at != stateAt_.end()) {
      // One put back at the front is older than the one waiting.
      if (!atFront) at->second->payload = std::move(e.payload);
      return;
    }
    const std::string topic = e.topic;
    stateAt_[topic] = queue_.insert(pos, std::move(e));
    return;
  }
  waitingBytes_ += e.topic.size() + e.payload.size();
  ++waitingValues_;
  queue_.insert(pos, std::move(e));
  while (waitingValues_ > limits_.values || waitingBytes_ > limits_.bytes) DropOldestValue();
}

Outbox::Entry Outbox::Take(List::iterator it) {
  if (it->value) {
    --waitingValues_;
    waitingBytes_ -= it->topic.size() + it->payload.size();
  } else {
    stateAt_.erase(it->topic);
  }
  Entry e = std::move(*it);
  queue_.erase(it);
  return e;
}

void Outbox::DropOldestValue() {
  auto it = std::find_if(queue_.begin(), queue_.end(), [](const Entry& e) { return e.value; });
  if (it == queue_.end()) return;
  if (!it->waited) ++outage_.waited;
  ++outage_.dropped;
  if (!dropping_) {
    dropping_ = true;
    say_("the queue for the broker is full (" + std::to_string(limits_.values) + " values or " +
         std::to_string(limits_.bytes) + " bytes): dropping the oldest values, first one on " + it->topic);
  }
  Take(it);
}

void Outbox::Pump() {
  if (!open_ || !port_->Connected()) return;
  if (probe_) {
    // The suspect goes alone, and everything else waits for its answer.
    if (probe_->sent || !flight_.empty()) return;
    const Entry& e = probe_->entry;
    const MqttPort::Ticket t = port_->Publish(e.topic, e.payload, probe_->qos, e.retain);
    if (t != 0) {
      probe_->sent = true;
      probe_->entry.ticket = t;
      return;
    }
    if (!port_->Connected()) return;
    // The library refuses it outright: Send says so.
    Entry refused = std::move(probe_->entry);
    probe_.reset();
    Send(std::move(refused), qos_);
  }
  while (open_ && port_->Connected() && flight_.size() < kWindow && !queue_.empty()) {
    if (!Send(Take(queue_.begin()), qos_)) break;
  }
  Report();
}

bool Outbox::Send(Entry e, int qos) {
  if (Refused(e.topic)) {
    if (e.waited) ++outage_.dropped;
    return true;
  }
  const MqttPort::Ticket t = port_->Publish(e.topic, e.payload, qos, e.retain);
  if (t == 0) {
    if (!port_->Connected()) {
      Enqueue(std::move(e), true);
      return false;
    }
    say_("the MQTT library refuses the topic " + e.topic + "; nothing is sent there");
    refused_.insert(e.topic);
    if (e.waited) ++outage_.dropped;
    return true;
  }
  e.ticket = t;
  flight_.push_back(std::move(e));
  byTicket_[t] = std::prev(flight_.end());
  return true;
}

void Outbox::Confirmed(MqttPort::Ticket ticket) {
  if (probe_ && probe_->sent && probe_->entry.ticket == ticket) {
    accepted_.insert(probe_->entry.topic);
    if (probe_->qos < qos_) {
      qos_ = probe_->qos;
      say_("the broker closes the connection at every QoS 2 publication: publishing at QoS 1 from now on");
    }
    Settled(probe_->entry);
    probe_.reset();
    Pump();
    return;
  }
  auto it = byTicket_.find(ticket);
  if (it == byTicket_.end()) return;
  auto entry = it->second;
  byTicket_.erase(it);
  Settled(*entry);
  if (qos_ == 0) {
    // Written is not yet taken: a close that follows soon may be its refusal.
    written_.splice(written_.end(), flight_, entry);
  } else {
    accepted_.insert(entry->topic);
    flight_.erase(entry);
  }
  Pump();
}

void Outbox::Settled(Entry& e) {
  if (e.value && e.waited) {
    ++outage_.delivered;
    e.waited = false;
  }
}

void Outbox::Tick() {
  for (; writtenMark_ > 0 && !written_.empty(); --writtenMark_) {
    accepted_.insert(written_.front().topic);
    written_.pop_front();
  }
  writtenMark_ = written_.size();
}

void Outbox::Connected() {
  open_ = true;
  dropping_ = false;
  Pump();
}

void Outbox::Down(bool abrupt) {
  open_ = false;
  if (probe_ && probe_->sent) {
    probe_->sent = false;
    if (abrupt) Verdict();
  } else if (abrupt && !probe_) {
    // The first message on a topic the broker never took is the suspect.
    auto suspect = [this](const Entry& e) { return accepted_.count(e.topic) == 0; };
    auto w = std::find_if(written_.begin(), written_.end(), suspect);
    auto f = std::find_if(flight_.begin(), flight_.end(), suspect);
    if (w != written_.end()) {
      probe_ = Probe{*w, 1};
    } else if (f != flight_.end()) {
      probe_ = Probe{std::move(*f), std::max(qos_, 1)};
      flight_.erase(f);
    }
  }
  written_.clear();
  writtenMark_ = 0;
  for (Entry& e : queue_) {
    if (e.value && !e.waited) {
      e.waited = true;
      ++outage_.waited;
    }
  }
  // Back to the front, last first, so that they keep their order.
  for (auto it = flight_.rbegin(); it != flight_.rend(); ++it) {
    it->ticket = 0;
    if (it->value && !it->waited) {
      it->waited = true;
      ++outage_.waited;
    }
    Enqueue(std::move(*it), true);
  }
  flight_.clear();
  byTicket_.clear();
}

void Outbox::Verdict() {
  if (probe_->qos == 2) {
    probe_->qos = 1;  // the topic, or only QoS 2? The next attempt tells.
    return;
  }
  const std::string topic = probe_->entry.topic;
  if (probe_->entry.value && probe_->entry.waited) ++outage_.dropped;
  probe_.reset();
  refused_.insert(topic);
  say_("the broker closed the connection at each publication on " + topic +
       ": it refuses that topic, and nothing more is sent there");
  for (auto it = queue_.begin(); it != queue_.end();) {
    auto next = std::next(it);
    if (it->topic == topic) {
      if (it->value && it->waited) ++outage_.dropped;
      Take(it);
    }
    it = next;
  }
}

void Outbox::SetPort(MqttPort& port) {
  Down(false);
  port_ = &port;
  Pump();
}

void Outbox::Report() {
  if (outage_.waited == 0 || outage_.delivered + outage_.dropped < outage_.waited) return;
  std::string line = "delivered " + std::to_string(outage_.delivered) + " of " +
                     std::to_string(outage_.waited) + " values that waited for the broker";
  if (outage_.dropped != 0) line += " (" + std::to_string(outage_.dropped) + " dropped)";
  say_(line);
  outage_ = {};
}

}  // namespace toruna::bridge
