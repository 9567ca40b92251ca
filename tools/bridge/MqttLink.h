#pragma once
// The bridge's connection to an MQTT broker: libmosquitto driven by the
// project's event loop. The client's socket is watched like any other
// descriptor and mosquitto_loop_read/_write are called when it is ready,
// mosquitto_loop_misc once a second (keepalive, retries), so libmosquitto
// runs no thread of its own. It connects, and after every loss or failed
// attempt connects again with backoff, until Close. Each attempt starts on a
// fresh libmosquitto client, so that nothing handed over before (a message
// the broker refuses) is sent again behind the caller's back: what was not
// confirmed is the caller's to send again (Outbox). The backoff starts over
// only once a connection has held for a while, so a broker that accepts the
// connection and closes it at once is not hammered.
//
// Callbacks run from the loop (some from inside libmosquitto); they may
// publish and subscribe, but must not destroy this object.
// This class owns its mosquitto client; it does not own the loop.

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "Backoff.h"
#include "MqttPort.h"
#include "net/linux/EventLoop.h"

struct mosquitto;
struct mosquitto_message;

namespace toruna::bridge {

struct TlsSettings {
  bool on = false;
  std::string cafile;  // none of cafile and capath: the system's certificates
  std::string capath;
  std::string certfile;  // a client certificate, with its key
  std::string keyfile;
  bool insecure = false;  // do not check the broker's name against its certificate
};

struct MqttSettings {
  std::string host = "127.0.0.1";
  int port = 1883;
  std::string clientId;
  std::string username;  // empty: none
  std::optional<std::string> password;
  TlsSettings tls;
  // The message the broker publishes when the connection breaks off (retained,
  // at QoS 1, or 0 when that is the QoS).
  std::string willTopic;
  std::string willPayload;
  int qos = 1;  // of every publication and subscription
  int keepaliveSeconds = 30;
};

class MqttError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Why a connection ended or an attempt failed.
struct MqttDown {
  std::string why;
  std::chrono::milliseconds retryIn{0};
  bool abrupt = false;  // the broker closed an established connection
  bool atConnect = false;  // it closed the connection before it answered CONNECT
};

class MqttLink final : public MqttPort {
 public:
  // Throws MqttError when libmosquitto refuses the settings (a certificate
  // file it cannot read, ...). Nothing connects before Start.
  MqttLink(net::EventLoop& loop, MqttSettings settings);
  ~MqttLink();
  MqttLink(const MqttLink&) = delete;
  MqttLink& operator=(const MqttLink&) = delete;

  // The broker accepted the connection.
  std::function<void()> OnConnected;
  // The connection was lost, or an attempt failed; the next attempt follows.
  std::function<void(const MqttDown&)> OnDown;
  // A message handed over has reached the broker (Publish's ticket). Never
  // called from inside Publish.
  std::function<void(Ticket)> OnConfirmed;
  std::function<void(const std::string& topic, std::string_view payload, bool retained)> OnMessage;

  void Start();
  // Up, also while it closes.
  bool Connected() const override { return state_ == State::Connected || state_ == State::Closing; }
  Ticket Publish(const std::string& topic, std::string_view payload, int qos, bool retain) override;
  void Subscribe(const std::string& filter, int qos) override;
  // Waits until every message handed over has been delivered to the broker
  // (also what OnConfirmed hands over meanwhile), then leaves cleanly (so the
  // broker does not publish the will); done runs once that is over, at the
  // latest after `limit`. Nothing reconnects after.
  void Close(std::function<void()> done,
             std::chrono::milliseconds limit = std::chrono::milliseconds(3000));
  // "HOST:PORT", for messages.
  std::string Where() const;
  // Messages handed over and not yet confirmed by the broker.
  int Unconfirmed() const { return unconfirmed_; }

 private:
  enum class State { Idle, Connecting, Connected, Waiting, Closing, Closed };

  static void ConnectCallback(mosquitto*, void* self, int rc);
  static void DisconnectCallback(mosquitto*, void* self, int rc);
  static void PublishCallback(mosquitto*, void* self, int mid);
  static void MessageCallback(mosquitto*, void* self, const mosquitto_message* m);

  // A fresh libmosquitto client with the settings; throws MqttError.
  void Create();
  void Attempt();
  void Ready(uint32_t ready);
  void Tick();
  // Watches the client's socket as libmosquitto has it now.
  void Sync();
  void Down(const std::string& why, bool abrupt = false, bool atConnect = false);
  void Confirm(Ticket t);
  void Disconnect();
  void Finish();
  std::string Describe(int rc) const;

  net::EventLoop& loop_;
  MqttSettings settings_;
  mosquitto* mosq_ = nullptr;
  State state_ = State::Idle;
  uint64_t attempt_ = 0;  // counts attempts, so that news of an old one is not taken for the next
  int fd_ = -1;
  bool rewatch_ = false;  // the socket was closed or replaced: register it anew
  std::optional<std::string> refusal_;  // why the broker refused the last attempt
  Backoff backoff_{std::chrono::milliseconds(500), std::chrono::milliseconds(2000)};
  std::chrono::steady_clock::time_point connectedAt_;
  bool inPublish_ = false;
  std::vector<Ticket> confirmedInPublish_;
  std::optional<net::EventLoop::TimerId> tick_;
  std::optional<net::EventLoop::TimerId> retry_;
  std::optional<net::EventLoop::TimerId> closeLimit_;
  int unconfirmed_ = 0;
  std::function<void()> closed_;
  std::shared_ptr<int> alive_ = std::make_shared<int>(0);
};

}  // namespace toruna::bridge
