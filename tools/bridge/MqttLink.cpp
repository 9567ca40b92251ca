#include "MqttLink.h"

#include <mosquitto.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace toruna::bridge {

namespace {

constexpr auto kTick = std::chrono::seconds(1);
// A connection that held this long means the broker is back: the waits
// between attempts start over.
constexpr auto kStable = std::chrono::seconds(10);
// Messages on the way to the broker unconfirmed at once; more wait in libmosquitto.
constexpr int kInFlight = 100;
// Where Debian keeps the certificates it trusts, for --tls without a CA of one's own.
constexpr const char* kSystemCertificates = "/etc/ssl/certs";

void InitLibrary() {
  static const bool done = (mosquitto_lib_init(), true);
  (void)done;
}

const char* OrNull(const std::string& s) { return s.empty() ? nullptr : s.c_str(); }

}  // namespace

MqttLink::MqttLink(net::EventLoop& loop, MqttSettings settings)
    : loop_(loop), settings_(std::move(settings)) {
  InitLibrary();
  Create();
}

void MqttLink::Create() {
  if (mosq_ != nullptr) mosquitto_destroy(mosq_);
  mosq_ = mosquitto_new(OrNull(settings_.clientId), true, this);
  if (mosq_ == nullptr) throw MqttError(std::string("cannot set up an MQTT client: ") + std::strerror(errno));
  auto check = [this](int rc, const std::string& what) {
    if (rc != MOSQ_ERR_SUCCESS) {
      mosquitto_destroy(mosq_);
      mosq_ = nullptr;
      throw MqttError(what + ": " + Describe(rc));
    }
  };
  mosquitto_int_option(mosq_, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V311);
  mosquitto_int_option(mosq_, MOSQ_OPT_SEND_MAXIMUM, kInFlight);
  mosquitto_connect_callback_set(mosq_, &MqttLink::ConnectCallback);
  mosquitto_disconnect_callback_set(mosq_, &MqttLink::DisconnectCallback);
  mosquitto_publish_callback_set(mosq_, &MqttLink::PublishCallback);
  mosquitto_message_callback_set(mosq_, &MqttLink::MessageCallback);
  if (!settings_.willTopic.empty()) {
    check(mosquitto_will_set(mosq_, settings_.willTopic.c_str(), static_cast<int>(settings_.willPayload.size()),
                             settings_.willPayload.data(), std::min(settings_.qos, 1), true),
          "the last will on " + settings_.willTopic);
  }
  if (!settings_.username.empty()) {
    check(mosquitto_username_pw_set(mosq_, settings_.username.c_str(),
                                    settings_.password ? settings_.password->c_str() : nullptr),
          "the user name");
  }
  const TlsSettings& tls = settings_.tls;
  if (tls.on) {
    const bool ownCa = !tls.cafile.empty() || !tls.capath.empty();
    if (!ownCa) mosquitto_int_option(mosq_, MOSQ_OPT_TLS_USE_OS_CERTS, 1);
    check(mosquitto_tls_set(mosq_, OrNull(tls.cafile), ownCa ? OrNull(tls.capath) : kSystemCertificates,
                            OrNull(tls.certfile), OrNull(tls.keyfile), nullptr),
          "TLS (are the certificate and key files readable?)");
    check(mosquitto_tls_insecure_set(mosq_, tls.insecure), "TLS");
  }
}

MqttLink::~MqttLink() {
  for (auto* t : {&tick_, &retry_, &closeLimit_}) {
    if (*t) loop_.CancelTimer(**t);
  }
  if (fd_ >= 0) loop_.Unwatch(fd_);
  if (mosq_ != nullptr) mosquitto_destroy(mosq_);
}

std::string MqttLink::Where() const {
  const bool v6 = settings_.host.find(':') != std::string::npos;
  return (v6 ? "[" + settings_.host + "]" : settings_.host) + ":" + std::to_string(settings_.port);
}

void MqttLink::Start() {
  if (state_ != State::Idle) return;
  tick_ = loop_.AddTimer(kTick, [this] { Tick(); });
  Attempt();
}

void MqttLink::Attempt() {
  state_ = State::Connecting;
  ++attempt_;
  refusal_.reset();
  rewatch_ = true;
  unconfirmed_ = 0;
  if (attempt_ > 1) {
    try {
      Create();
    } catch (const MqttError& e) {
      Down(e.what());
      return;
    }
  }
  errno = 0;
  const int rc = mosquitto_connect_async(mosq_, settings_.host.c_str(), settings_.port, settings_.keepaliveSeconds);
  if (rc != MOSQ_ERR_SUCCESS) {
    Down(Describe(rc));
    return;
  }
  Sync();
}

void MqttLink::Ready(uint32_t ready) {
  if (state_ != State::Connecting && state_ != State::Connected && state_ != State::Closing) return;
  if (state_ == State::Connecting && (ready & (net::EventLoop::kHangUp | net::EventLoop::kFailed))) {
    // A refused attempt. libmosquitto (2.0) does not always notice one during
    // the TLS handshake, so it is read here from the socket.
    int error = 0;
    socklen_t len = sizeof error;
    if (getsockopt(fd_, SOL_SOCKET, SO_ERROR, &error, &len) == 0 && error != 0) {
      Down(std::strerror(error));
      return;
    }
  }
  int rc = MOSQ_ERR_SUCCESS;
  if (ready & (net::EventLoop::kReadable | net::EventLoop::kHangUp | net::EventLoop::kFailed)) {
    rc = mosquitto_loop_read(mosq_, 1);
  }
  // A read that failed has closed the socket; writing then only fails again.
  if (rc == MOSQ_ERR_SUCCESS && (ready & net::EventLoop::kWritable) && mosquitto_socket(mosq_) >= 0) {
    rc = mosquitto_loop_write(mosq_, 1);
  }
  if (rc != MOSQ_ERR_SUCCESS) {
    // The broker closing an established connection, rather than a keepalive
    // that lapsed: what it was sent last may be what it refuses.
    const bool closedByBroker = rc == MOSQ_ERR_CONN_LOST || (rc == MOSQ_ERR_ERRNO && errno == ECONNRESET);
    if (state_ == State::Connecting && closedByBroker && !refusal_) {
      Down("the broker closed the connection before accepting it", false, true);
      return;
    }
    Down(refusal_.value_or(Describe(rc)), state_ == State::Connected && closedByBroker);
    return;
  }
  Sync();
}

void MqttLink::Tick() {
  if (state_ == State::Connecting || state_ == State::Connected || state_ == State::Closing) {
    mosquitto_loop_misc(mosq_);
    Sync();
  }
  // Only a connection that held counts as the broker being back.
  if (state_ == State::Connected && std::chrono::steady_clock::now() - connectedAt_ >= kStable) backoff_.Reset();
}

void MqttLink::Sync() {
  if (mosq_ == nullptr) return;
  const int fd = mosquitto_socket(mosq_);
  if (fd < 0 && (state_ == State::Connecting || state_ == State::Connected || state_ == State::Closing)) {
    // Closed inside libmosquitto without a word (a failed TLS handshake).
    Down(refusal_.value_or("the connection was closed"));
    return;
  }
  if (fd != fd_ || rewatch_) {
    if (fd_ >= 0) loop_.Unwatch(fd_);
    fd_ = fd;
    rewatch_ = false;
    if (fd < 0) return;
    loop_.Watch(fd, net::EventLoop::kReadable, [this](uint32_t ready) { Ready(ready); });
  }
  loop_.Modify(fd, net::EventLoop::kReadable | (mosquitto_want_write(mosq_) ? net::EventLoop::kWritable : 0));
}

void MqttLink::Down(const std::string& why, bool abrupt, bool atConnect) {
  if (state_ == State::Closing) {
    Finish();
    return;
  }
  if (state_ != State::Connecting && state_ != State::Connected) return;
  if (fd_ >= 0) loop_.Unwatch(fd_);
  fd_ = -1;
  state_ = State::Waiting;
  // The failed socket stays with libmosquitto until the next attempt replaces it.
  const auto wait = backoff_.Next();
  retry_ = loop_.AddTimer(wait, [this] {
    loop_.CancelTimer(*retry_);
    retry_.reset();
    if (state_ == State::Waiting) Attempt();
  });
  if (OnDown) OnDown(MqttDown{why, wait, abrupt, atConnect});
}

MqttPort::Ticket MqttLink::Publish(const std::string& topic, std::string_view payload, int qos, bool retain) {
  if (!Connected()) return 0;
  int mid = 0;
  inPublish_ = true;
  const int rc = mosquitto_publish(mosq_, &mid, topic.c_str(), static_cast<int>(payload.size()), payload.data(),
                                   qos, retain);
  inPublish_ = false;
  if (rc != MOSQ_ERR_SUCCESS) return 0;
  ++unconfirmed_;
  if (!confirmedInPublish_.empty()) {
    // Written at once (QoS 0): told after the caller has the ticket.
    loop_.Defer([this, alive = std::weak_ptr<int>(alive_), mids = std::move(confirmedInPublish_)] {
      if (alive.expired()) return;
      for (Ticket t : mids) Confirm(t);
    });
    confirmedInPublish_.clear();
  }
  // A write that failed here is noticed at the next readiness or tick, not
  // inside the caller's publication.
  if (mosquitto_socket(mosq_) >= 0) Sync();
  return static_cast<Ticket>(mid);
}

void MqttLink::Subscribe(const std::string& filter, int qos) {
  if (!Connected()) return;
  mosquitto_subscribe(mosq_, nullptr, filter.c_str(), qos);
  if (mosquitto_socket(mosq_) >= 0) Sync();
}

void MqttLink::Confirm(Ticket t) {
  if (unconfirmed_ > 0) --unconfirmed_;
  if (OnConfirmed) OnConfirmed(t);
  if (state_ == State::Closing && unconfirmed_ == 0) Disconnect();
}

void MqttLink::Close(std::function<void()> done, std::chrono::milliseconds limit) {
  closed_ = std::move(done);
  if (state_ == State::Closing) return;
  if (state_ != State::Connected) {
    Finish();
    return;
  }
  state_ = State::Closing;
  closeLimit_ = loop_.AddTimer(limit, [this] { Finish(); });
  if (unconfirmed_ == 0) Disconnect();
}

void MqttLink::Disconnect() {
  mosquitto_disconnect(mosq_);
  Sync();
}

void MqttLink::Finish() {
  if (state_ == State::Closed) return;
  state_ = State::Closed;
  for (auto* t : {&tick_, &retry_, &closeLimit_}) {
    if (*t) loop_.CancelTimer(**t);
    t->reset();
  }
  if (fd_ >= 0) loop_.Unwatch(fd_);
  fd_ = -1;
  auto done = std::move(closed_);
  closed_ = nullptr;
  if (done) done();
}

std::string MqttLink::Describe(int rc) const {
  if (rc == MOSQ_ERR_ERRNO) return errno != 0 ? std::strerror(errno) : "a system call failed";
  if (rc == MOSQ_ERR_KEEPALIVE) return "no answer from the broker";
  return mosquitto_strerror(rc);
}

void MqttLink::ConnectCallback(mosquitto*, void* self, int rc) {
  auto* link = static_cast<MqttLink*>(self);
  if (link->state_ != State::Connecting) return;
  if (rc != 0) {
    // The broker closes the connection next; that is when the attempt ends.
    link->refusal_ = std::string("the broker refused the connection: ") + mosquitto_connack_string(rc);
    return;
  }
  link->state_ = State::Connected;
  link->connectedAt_ = std::chrono::steady_clock::now();
  if (link->OnConnected) link->OnConnected();
}

void MqttLink::DisconnectCallback(mosquitto*, void* self, int rc) {
  auto* link = static_cast<MqttLink*>(self);
  link->rewatch_ = true;
  // Deferred work runs after libmosquitto's call has returned, and not at all
  // when this object is gone by then.
  std::weak_ptr<int> alive = link->alive_;
  if (link->state_ == State::Closing) {
    link->loop_.Defer([link, alive] {
      if (!alive.expired()) link->Finish();
    });
    return;
  }
  const std::string why = link->refusal_.value_or(link->Describe(rc));
  link->loop_.Defer([link, alive, why, attempt = link->attempt_] {
    if (!alive.expired() && link->attempt_ == attempt) link->Down(why);
  });
}

void MqttLink::PublishCallback(mosquitto*, void* self, int mid) {
  auto* link = static_cast<MqttLink*>(self);
  if (link->inPublish_) {
    link->confirmedInPublish_.push_back(static_cast<Ticket>(mid));
    return;
  }
  link->Confirm(static_cast<Ticket>(mid));
}

void MqttLink::MessageCallback(mosquitto*, void* self, const mosquitto_message* m) {
  auto* link = static_cast<MqttLink*>(self);
  if (link->state_ != State::Connected || link->OnMessage == nullptr) return;
  link->OnMessage(m->topic, std::string_view(static_cast<const char*>(m->payload), static_cast<size_t>(m->payloadlen)),
                  m->retain);
}

}  // namespace toruna::bridge
