#include "client/Connection.h"

#include <algorithm>
#include <stdexcept>

#include "client/ServerLink.h"
#include "client/WireText.h"
#include "net/linux/SocketLayer.h"
#include "net/modNetSocket.h"

namespace toruna::client {

static_assert(Connection::kServerPort == ServerLink::kServerPort);

namespace {
// How long WhenSent keeps reading after the last byte left: closing a socket
// with unread bytes would reset the connection and could lose what was sent.
constexpr auto kDrainTick = std::chrono::milliseconds(20);
constexpr int kQuietTicks = 5;
}  // namespace

Connection::Connection()
    : Connection(net::SocketLayer::Default().Dispatcher(), net::SocketLayer::Default().Loop()) {}

Connection::Connection(net::modNetSocket& dispatcher, loop::EventLoop& loop)
    : ClientProtocol([this](const std::vector<uint8_t>& frame) { link_->Send(frame); }),
      dispatcher_(dispatcher),
      loop_(loop),
      link_(std::make_unique<ServerLink>(dispatcher, loop, ServerLink::Handlers{})) {}

bool Connection::Connected() const { return !ended_ && link_->Connected(); }

size_t Connection::Unsent() const { return link_->Unsent() + Queued(); }

std::string Connection::LocalHostName() { return link_->LocalHostName(); }

Connection::~Connection() {
  CancelDrain();
  CancelRetry();
}

void Connection::Open(const std::string& host, const std::string& name, int32_t port,
                      std::chrono::milliseconds connectTimeout) {
  if (opened_ && !ended_) throw std::logic_error("this connection is open; Close it first");
  WireText::CheckClientName(name);
  if (opened_) Disconnected();  // what the last connection knew is void now
  opened_ = true;
  ended_ = false;
  down_ = false;
  registeredOnce_ = false;
  lastWait_ = std::chrono::milliseconds(0);
  host_ = host;
  name_ = name;
  port_ = port;
  connectTimeout_ = connectTimeout;
  Attempt();
}

void Connection::Attempt() {
  const uint64_t generation = ++generation_;
  // The link being replaced may be the one whose failure led here.
  retired_.push_back(std::move(link_));
  loop_.Defer([this, alive = std::weak_ptr<int>(alive_)] {
    if (!alive.expired()) retired_.clear();
  });
  link_ = std::make_unique<ServerLink>(
      dispatcher_, loop_,
      ServerLink::Handlers{
          .connected =
              [this, generation] {
                if (generation != generation_) return;
                Start(name_);
                if (OnConnected) OnConnected();
              },
          .frame =
              [this, generation](const protocol::FrameView& f) {
                if (generation == generation_) OnFrame(f, link_->LastRead());
              },
          .failed = [this, generation](const Ending& e) { LinkFailed(generation, e); },
      });
  link_->SetKeepAlive(keepAlive_);
  link_->Open(host_, port_, connectTimeout_);
}

void Connection::LinkFailed(uint64_t generation, const Ending& ending) {
  if (generation != generation_ || ended_) return;
  MarkEnded();  // nothing more goes out on this link
  CancelDrain();
  if (!reconnect_) {
    ended_ = true;
    if (OnEnded) OnEnded(ending);
    return;
  }
  // The rest waits for the end of the batch: the failure may come from inside
  // a send, with callers in this object still on the stack.
  loop_.Defer([this, alive = std::weak_ptr<int>(alive_), generation, ending] {
    if (alive.expired() || generation != generation_ || ended_) return;
    GoDown(ending);
  });
}

void Connection::GoDown(const Ending& ending) {
  down_ = true;
  const std::chrono::milliseconds wait = NextWait();
  retryTimer_ = loop_.RunAfter(wait, [this] {
    CancelRetry();
    Attempt();
  });
  const uint64_t generation = generation_;
  if (OnDown) OnDown(ending, wait);
  if (!ended_ && generation == generation_) Disconnected();
}

std::chrono::milliseconds Connection::NextWait() {
  const Reconnect r = reconnect_.value_or(Reconnect{});
  lastWait_ = lastWait_.count() == 0 ? r.first : std::min(lastWait_ * 2, r.longest);
  const auto shortenBy = std::uniform_int_distribution<int64_t>(0, lastWait_.count() / 4)(random_);
  return lastWait_ - std::chrono::milliseconds(shortenBy);
}

void Connection::HandleRegistered(const std::string& serverName) {
  down_ = false;
  lastWait_ = std::chrono::milliseconds(0);
  if (!registeredOnce_) {
    registeredOnce_ = true;
    ClientProtocol::HandleRegistered(serverName);
  } else if (OnBack) {
    OnBack(serverName);
  }
}

void Connection::Close() {
  if (ended_) return;
  ended_ = true;
  down_ = false;
  MarkEnded();
  CancelDrain();
  CancelRetry();
  link_->Close();
}

void Connection::WhenSent(std::function<void()> done) {
  if (ended_) return;
  drained_ = std::move(done);
  quietTicks_ = 0;
  Window().Probe();
  if (drainTimer_) return;
  drainTimer_ = loop_.AddTimer(kDrainTick, [this] {
    if (!link_->Connected() || link_->Unsent() != 0 || !Window().Idle() ||
        ++quietTicks_ < kQuietTicks) {
      return;
    }
    CancelDrain();
    auto done = std::move(drained_);
    drained_ = nullptr;
    if (done) done();
  });
}

void Connection::CancelDrain() {
  if (drainTimer_) {
    loop_.CancelTimer(*drainTimer_);
    drainTimer_.reset();
  }
}

void Connection::CancelRetry() {
  if (retryTimer_) {
    loop_.CancelTimer(*retryTimer_);
    retryTimer_.reset();
  }
}

}  // namespace toruna::client
