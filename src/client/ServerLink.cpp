#include "client/ServerLink.h"

#include "base/RaisedError.h"
#include "net/Variant.h"

namespace toruna::client {

ServerLink::ServerLink(net::modNetSocket& dispatcher, loop::EventLoop& loop, Handlers handlers)
    : loop_(loop),
      handlers_(std::move(handlers)),
      sock_(net::CNetSocket::Create(dispatcher)),
      stream_([this](const protocol::FrameView& f) {
        if (!failed_ && handlers_.frame) handlers_.frame(f);
      }) {
  sock_->On().OnConnect = [this] {
    CancelTimer();
    connected_ = true;
    // Best effort: without it a vanished server is noticed only when a send fails.
    sock_->SetKeepAlive(keepAlive_);
    if (handlers_.connected) handlers_.connected();
  };
  sock_->On().OnDataArrival = [this](int32_t bytesTotal) {
    if (bytesTotal > 0) OnData();
  };
  sock_->On().OnCloseSck = [this] {
    Fail({EndReason::ClosedByServer,
          connected_ ? "the server on " + host_ + " closed the connection"
                     : "the server on " + host_ + " closed the connection while connecting"});
  };
  sock_->On().OnError = [this](net::SocketErrorArgs& e) {
    e.CancelDisplay = true;  // reported as a sentence by the owner, never as a box
    Fail(DescribeError(host_, port_, e.Number, e.Description, connected_));
  };
}

ServerLink::~ServerLink() {
  CancelTimer();
  sock_->On().OnConnect = nullptr;
  sock_->On().OnDataArrival = nullptr;
  sock_->On().OnCloseSck = nullptr;
  sock_->On().OnError = nullptr;
  try {
    sock_->CloseSck();
  } catch (const base::RaisedError&) {
    // Nothing more can be done about a close the platform refuses at the end.
  }
}

Ending ServerLink::DescribeError(const std::string& host, int32_t port, int32_t number,
                                 const std::string& description, bool connected) {
  const std::string detail = description + " (" + std::to_string(number) + ")";
  switch (number) {
    case 10061:
      return {EndReason::Refused, "connection refused by " + host + " (no server listening on port " +
                                      std::to_string(port) + "?)"};
    // Name lookups in plain words: the socket layer's texts mean little to a user.
    case 11001:
      return {EndReason::HostNotFound, "host " + host + " not found"};
    case 11002:
      return {EndReason::HostNotFound, "host " + host + " could not be looked up now: the name service did not answer"};
    case 11003:
      return {EndReason::HostNotFound, "host " + host + " could not be looked up: the name service failed"};
    case 11004:
      return {EndReason::HostNotFound, "host " + host + " has no IPv4 address"};
    case 10060:
      return {EndReason::Unreachable, "host " + host + " is unreachable: no answer (timed out)"};
    case 10050:
    case 10051:
    case 10064:
    case 10065:
      return {EndReason::Unreachable, "host " + host + " is unreachable: " + detail};
    case 10053:
    case 10054:
      return {EndReason::ClosedByServer, "the server on " + host + " reset the connection"};
    default:
      break;
  }
  return {EndReason::Failed, connected ? "connection to " + host + " failed: " + detail
                                       : "cannot connect to " + host + ": " + detail};
}

void ServerLink::Open(const std::string& host, int32_t port,
                      std::chrono::milliseconds connectTimeout) {
  host_ = host;
  port_ = port;
  timer_ = loop_.RunAfter(connectTimeout, [this, connectTimeout] {
    CancelTimer();
    if (!connected_) {
      Fail({EndReason::Unreachable, "host " + host_ + " is unreachable: no answer within " +
                                        std::to_string(connectTimeout.count() / 1000) + " s"});
    }
  });
  timerActive_ = true;
  try {
    sock_->Connect(net::Variant(host), net::Variant(port));
  } catch (const base::RaisedError& e) {
    Fail(DescribeError(host_, port_, e.Number(), e.Description(), false));
  }
}

void ServerLink::Send(const std::vector<uint8_t>& frame) {
  if (!connected_ || failed_) return;
  sock_->SendBytes(frame.data(), frame.size());
}

void ServerLink::Close() {
  CancelTimer();
  connected_ = false;
  try {
    sock_->CloseSck();
  } catch (const base::RaisedError&) {
    // Closed as far as this side is concerned.
  }
}

bool ServerLink::Connected() const {
  return connected_ && !failed_ && sock_->State() == net::StateConnected;
}

size_t ServerLink::Unsent() const { return sock_->UnsentByteCount(); }

std::string ServerLink::LocalHostName() {
  try {
    return sock_->LocalHostName();
  } catch (const base::RaisedError&) {
    return "";
  }
}

void ServerLink::OnData() {
  // Straight from the socket's receive queue, taken before any frame is handled:
  // the handlers may send, close or take a later arrival.
  const std::span<const uint8_t> bytes = sock_->ReceivedBytes();
  if (bytes.empty()) return;
  lastRead_ = std::chrono::system_clock::now();
  stream_.Append(bytes);
  sock_->DiscardReceived(bytes.size());
  if (!stream_.Deliver()) {
    Fail({EndReason::LostSync, "lost protocol sync with the server on " + host_});
  }
}

void ServerLink::Fail(Ending ending) {
  if (failed_) return;
  failed_ = true;
  CancelTimer();
  connected_ = false;
  try {
    sock_->CloseSck();
  } catch (const base::RaisedError&) {
    // The link is reported as failed either way.
  }
  if (handlers_.failed) handlers_.failed(ending);
}

void ServerLink::CancelTimer() {
  if (timerActive_) {
    loop_.CancelTimer(timer_);
    timerActive_ = false;
  }
}

}  // namespace toruna::client
