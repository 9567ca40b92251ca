#pragma once
// A Platform decorator for tests: forwards every call to a real platform but
// lets a test make calls fail with a chosen error number, script how many bytes
// a send takes, and count the calls. LastError() reports the injected number
// after an injected failure, else the wrapped platform's.

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "net/Platform.h"

namespace toruna::net::testing {

enum class Call {
  Startup, Cleanup, OpenNotifier, CloseNotifier, Socket, AsyncSelect, Bind, Listen,
  Accept, Connect, Send, SendTo, Recv, RecvFrom, CloseSocket, GetSockOpt, SetSockOpt,
  PendingBytes, GetSockName, GetPeerName, GetHostName, GetHostByName,
  AsyncGetHostByName, CancelAsyncRequest,
};

class FakePlatform : public Platform {
 public:
  explicit FakePlatform(Platform& real) : real_(real) {}

  // Every call of `call` fails with `code` until Clear(call).
  void Fail(Call call, int code) { rules_[call] = Rule{code, -1}; }
  // The next `count` calls of `call` fail with `code`; later ones go through.
  void FailNext(Call call, int code, int count = 1) { rules_[call] = Rule{code, count}; }
  void Clear(Call call) { rules_.erase(call); }
  void ClearAll() { rules_.clear(); }
  // The error number LastError() reports from now on (for scripted sends).
  void SetError(int code) { injectedError_ = code; }

  int Calls(Call call) const {
    auto it = calls_.find(call);
    return it == calls_.end() ? 0 : it->second;
  }

  // Scripted send: return a count to take only that many bytes (the real send is
  // made with that length; 0 takes none), or -1 after SetError(code) to fail.
  // std::nullopt lets the real send go through untouched.
  std::function<std::optional<int>(SocketHandle, const uint8_t*, int)> onSend;
  // Scripted option read: return a value to answer with it (success) instead of
  // asking the real platform, e.g. SO_SNDBUF 8192; std::nullopt forwards.
  std::function<std::optional<int32_t>(SocketHandle, int level, int option)> onGetSockOpt;
  // Lengths asked of every Send call, in order (before any scripting).
  std::vector<int> sendLengths;
  // Request handles of the lookups that were started, in order.
  std::vector<LookupHandle> lookups;
  // Called at the start of every counted call, before the failure rules apply.
  std::function<void(Call)> beforeCall;

  int LastError() const override { return injectedError_ ? injectedError_ : real_.LastError(); }

  int Startup() override {
    if (int c = Injected(Call::Startup)) return c;
    return real_.Startup();
  }
  int Cleanup() override {
    if (Injected(Call::Cleanup)) return -1;
    return real_.Cleanup();
  }
  bool OpenNotifier(NotificationSink* sink) override {
    if (Injected(Call::OpenNotifier)) return false;
    return real_.OpenNotifier(sink);
  }
  bool CloseNotifier() override {
    if (Injected(Call::CloseNotifier)) return false;
    return real_.CloseNotifier();
  }
  SocketHandle Socket(int type, int protocol) override {
    if (Injected(Call::Socket)) return -1;
    return real_.Socket(type, protocol);
  }
  int AsyncSelect(SocketHandle s, uint16_t mask) override {
    if (Injected(Call::AsyncSelect)) return -1;
    return real_.AsyncSelect(s, mask);
  }
  int Bind(SocketHandle s, const SockAddrIn& local) override {
    if (Injected(Call::Bind)) return -1;
    return real_.Bind(s, local);
  }
  int Listen(SocketHandle s, int backlog) override {
    if (Injected(Call::Listen)) return -1;
    return real_.Listen(s, backlog);
  }
  // An injected failure takes the waiting connection and closes it, as a connection
  // that died while it waited; the listener's notifications go on as after any accept.
  SocketHandle Accept(SocketHandle s, SockAddrIn* peer) override {
    if (Injected(Call::Accept)) {
      SockAddrIn ignored;
      SocketHandle taken = real_.Accept(s, &ignored);
      if (taken != -1) real_.CloseSocket(taken);
      return -1;
    }
    return real_.Accept(s, peer);
  }
  int Connect(SocketHandle s, const SockAddrIn& remote) override {
    if (Injected(Call::Connect)) return -1;
    return real_.Connect(s, remote);
  }
  int Send(SocketHandle s, const uint8_t* data, int len) override {
    sendLengths.push_back(len);
    if (Injected(Call::Send)) return -1;
    if (onSend) {
      if (std::optional<int> scripted = onSend(s, data, len)) {
        if (*scripted < 0) return -1;
        if (*scripted == 0) return 0;
        return real_.Send(s, data, *scripted < len ? *scripted : len);
      }
    }
    return real_.Send(s, data, len);
  }
  int SendTo(SocketHandle s, const uint8_t* data, int len, const SockAddrIn& to) override {
    if (Injected(Call::SendTo)) return -1;
    return real_.SendTo(s, data, len, to);
  }
  int Recv(SocketHandle s, uint8_t* buf, int len, int flags) override {
    if (Injected(Call::Recv)) return -1;
    return real_.Recv(s, buf, len, flags);
  }
  int RecvFrom(SocketHandle s, uint8_t* buf, int len, int flags, SockAddrIn* from) override {
    if (Injected(Call::RecvFrom)) return -1;
    return real_.RecvFrom(s, buf, len, flags, from);
  }
  int CloseSocket(SocketHandle s) override {
    if (Injected(Call::CloseSocket)) return -1;
    return real_.CloseSocket(s);
  }
  int GetSockOpt(SocketHandle s, int level, int option, int32_t* value) override {
    if (Injected(Call::GetSockOpt)) return -1;
    if (onGetSockOpt) {
      if (std::optional<int32_t> scripted = onGetSockOpt(s, level, option)) {
        *value = *scripted;
        return 0;
      }
    }
    return real_.GetSockOpt(s, level, option, value);
  }
  int SetSockOpt(SocketHandle s, int level, int option, int32_t value) override {
    if (Injected(Call::SetSockOpt)) return -1;
    return real_.SetSockOpt(s, level, option, value);
  }
  int PendingBytes(SocketHandle s, uint32_t* count) override {
    if (Injected(Call::PendingBytes)) return -1;
    return real_.PendingBytes(s, count);
  }
  int GetSockName(SocketHandle s, SockAddrIn* local) override {
    if (Injected(Call::GetSockName)) return -1;
    return real_.GetSockName(s, local);
  }
  int GetPeerName(SocketHandle s, SockAddrIn* peer) override {
    if (Injected(Call::GetPeerName)) return -1;
    return real_.GetPeerName(s, peer);
  }
  int GetHostName(std::string* name) override {
    if (Injected(Call::GetHostName)) return -1;
    return real_.GetHostName(name);
  }
  uint32_t InetAddr(const std::string& text) override { return real_.InetAddr(text); }
  std::string InetNtoa(uint32_t addr) override { return real_.InetNtoa(addr); }
  int GetHostByName(const std::string& name, uint32_t* addr) override {
    if (Injected(Call::GetHostByName)) return -1;
    return real_.GetHostByName(name, addr);
  }
  LookupHandle AsyncGetHostByName(const std::string& name) override {
    if (Injected(Call::AsyncGetHostByName)) return 0;
    LookupHandle request = real_.AsyncGetHostByName(name);
    if (request != 0) lookups.push_back(request);
    return request;
  }
  int CancelAsyncRequest(LookupHandle request) override {
    if (Injected(Call::CancelAsyncRequest)) return -1;
    return real_.CancelAsyncRequest(request);
  }

 private:
  struct Rule {
    int code;
    int remaining;  // -1: every call
  };

  // Counts the call; returns the injected code (and makes LastError report it)
  // when a rule makes this call fail, else 0 (and LastError is the real one's).
  int Injected(Call call) {
    ++calls_[call];
    if (beforeCall) beforeCall(call);
    injectedError_ = 0;
    auto it = rules_.find(call);
    if (it == rules_.end()) return 0;
    int code = it->second.code;
    if (it->second.remaining > 0 && --it->second.remaining == 0) rules_.erase(it);
    injectedError_ = code;
    return code;
  }

  Platform& real_;
  std::map<Call, Rule> rules_;
  std::map<Call, int> calls_;
  int injectedError_ = 0;
};

}  // namespace toruna::net::testing
