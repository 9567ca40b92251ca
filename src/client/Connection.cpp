#include "client/Connection.h"

#include <stdexcept>

#include "client/WireText.h"
#include "net/linux/SocketLayer.h"

namespace toruna::client {

namespace {
// How long WhenSent keeps reading after the last byte left: closing a socket
// with unread bytes would reset the connection and could lose what was sent.
constexpr auto kDrainTick = std::chrono::milliseconds(20);
constexpr int kQuietTicks = 5;
}  // namespace

Connection::Connection()
    : Connection(net::SocketLayer::Default().Dispatcher(), net::SocketLayer::Default().Loop()) {}

Connection::Connection(net::modNetSocket& dispatcher, loop::EventLoop& loop)
    : ClientProtocol([this](const std::vector<uint8_t>& frame) { link_.Send(frame); }),
      loop_(loop),
      link_(dispatcher, loop,
            ServerLink::Handlers{
                .connected =
                    [this] {
                      Start(name_);
                      if (OnConnected) OnConnected();
                    },
                .frame = [this](const protocol::FrameView& f) { OnFrame(f); },
                .failed = [this](const Ending& e) { End(e); },
            }) {}

Connection::~Connection() { CancelDrain(); }

void Connection::Open(const std::string& host, const std::string& name, int32_t port,
                      std::chrono::milliseconds connectTimeout) {
  if (opened_) throw std::logic_error("this connection was opened already");
  WireText::CheckClientName(name);
  opened_ = true;
  host_ = host;
  name_ = name;
  link_.Open(host, port, connectTimeout);
}

void Connection::Close() {
  if (ended_) return;
  ended_ = true;
  MarkEnded();
  CancelDrain();
  link_.Close();
}

void Connection::WhenSent(std::function<void()> done) {
  if (ended_) return;
  drained_ = std::move(done);
  quietTicks_ = 0;
  Window().Probe();
  if (drainTimer_) return;
  drainTimer_ = loop_.AddTimer(kDrainTick, [this] {
    if (!link_.Connected() || link_.Unsent() != 0 || !Window().Idle() ||
        ++quietTicks_ < kQuietTicks) {
      return;
    }
    CancelDrain();
    auto done = std::move(drained_);
    drained_ = nullptr;
    if (done) done();
  });
}

void Connection::End(const Ending& ending) {
  if (ended_) return;
  ended_ = true;
  MarkEnded();
  CancelDrain();
  if (OnEnded) OnEnded(ending);
}

void Connection::CancelDrain() {
  if (drainTimer_) {
    loop_.CancelTimer(*drainTimer_);
    drainTimer_.reset();
  }
}

}  // namespace toruna::client
