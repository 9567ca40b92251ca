#pragma once
// The client side of one broker protocol: what to write to register, subscribe
// and publish, and a parser that turns received bytes into signals. Parsing does
// no I/O; it consumes whole messages only and leaves a partial one for later.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "Connection.h"

namespace loadgen {

enum class Signal {
  Registered,      // the server accepted the client (Toruna: ServerInfo)
  PublisherReady,  // the publisher may publish (Toruna: EventCreated)
  Subscribed,      // the server has processed the subscription
  Delivery,        // one published value arrived
  Owned,           // the server holds what Own asked for
};

class SignalSink {
 public:
  virtual ~SignalSink() = default;
  virtual void OnSignal(Connection& c, Signal s, uint8_t value) = 0;
  // The server told c that a client called `name` has registered (only for
  // protocols that announce clients; the bytes are valid during the call).
  virtual void OnAnnounced(Connection& c, std::string_view name) {
    (void)c;
    (void)name;
  }
  // The server told c that another client has gone (protocols that announce clients).
  virtual void OnGone(Connection& c) { (void)c; }
};

class Protocol {
 public:
  virtual ~Protocol() = default;
  virtual const char* Name() const = 0;
  virtual uint16_t DefaultPort() const = 0;
  // Right after the TCP connection is up: queue whatever registers the client.
  virtual void Start(Connection& c) = 0;
  // After Registered: make c able to publish. True when it is ready at once;
  // otherwise the parser signals PublisherReady later.
  virtual bool PreparePublisher(Connection& c) = 0;
  // After Registered: subscribe, followed by something whose answer proves that
  // the server has processed the subscription (signalled as Subscribed).
  virtual void Subscribe(Connection& c) = 0;
  // After Registered: make the server keep something of c's own that its
  // departure must clean up (Toruna: an event; the others: a subscription to a
  // topic of its own), answered by Owned.
  virtual void Own(Connection& c) = 0;
  virtual void Publish(Connection& c, uint8_t value) = 0;
  // Consumes whole messages from data[0, n); returns the bytes consumed, or -1
  // when the bytes break the protocol.
  virtual long Parse(Connection& c, const uint8_t* data, size_t n, SignalSink& sink) = 0;
  // Whether the server tells every registered client of each newcomer by name
  // (SignalSink::OnAnnounced), under the name ClientName gives.
  virtual bool AnnouncesClients() const { return false; }
  // Whether a client registers beyond connecting (Redis: no).
  virtual bool Registers() const { return true; }
  virtual std::string ClientName(const Connection& c) const {
    (void)c;
    return {};
  }
};

// "toruna", "mqtt", "nats" or "redis"; nullptr for anything else.
std::unique_ptr<Protocol> MakeProtocol(const std::string& name);

}  // namespace loadgen
