#pragma once
// Shared scaffolding for the binding's tests: a loop with a LinuxPlatform that
// records every notification, and plain blocking sockets to play the far side.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <vector>

#include <gtest/gtest.h>

#include "LoopbackPeers.h"
#include "loop/EventLoop.h"
#include "loop/LoopPump.h"
#include "net/linux/LinuxPlatform.h"

namespace toruna::net::testing {

// A TCP listener on an ephemeral loopback port with the notifications of mask.
inline SocketHandle ListenOnLoopback(Platform& platform, uint16_t mask, uint16_t* port) {
  const SocketHandle s = platform.Socket(kSockStream, kIpProtoTcp);
  EXPECT_GE(s, 0);
  EXPECT_EQ(platform.AsyncSelect(s, mask), 0);
  EXPECT_EQ(platform.Bind(s, SockAddrIn{Loopback(), 0}), 0);
  EXPECT_EQ(platform.Listen(s, 5), 0);
  SockAddrIn local;
  EXPECT_EQ(platform.GetSockName(s, &local), 0);
  *port = local.port;
  return s;
}

struct Note {
  SocketHandle socket;
  uint16_t event;
  uint16_t error;
};

struct Lookup {
  LookupHandle request;
  uint16_t error;
  uint32_t addr;
};

class RecordingSink : public NotificationSink {
 public:
  void OnSocketNotify(SocketHandle socket, uint16_t event, uint16_t error) override {
    notes.push_back(Note{socket, event, error});
    if (onNotify) onNotify(notes.back());
  }
  void OnLookupDone(LookupHandle request, uint16_t error, uint32_t addr) override {
    lookups.push_back(Lookup{request, error, addr});
    if (onLookup) onLookup(lookups.back());
  }

  int Count(SocketHandle s, uint16_t event) const {
    int n = 0;
    for (const Note& note : notes) n += (note.socket == s && note.event == event) ? 1 : 0;
    return n;
  }
  int CountFor(SocketHandle s) const {
    int n = 0;
    for (const Note& note : notes) n += note.socket == s ? 1 : 0;
    return n;
  }
  const Note* Last(SocketHandle s, uint16_t event) const {
    for (auto it = notes.rbegin(); it != notes.rend(); ++it) {
      if (it->socket == s && it->event == event) return &*it;
    }
    return nullptr;
  }

  std::vector<Note> notes;
  std::vector<Lookup> lookups;
  std::function<void(const Note&)> onNotify;
  std::function<void(const Lookup&)> onLookup;
};

inline bool Readable(int fd) {
  pollfd p{fd, POLLIN, 0};
  return poll(&p, 1, 0) == 1 && (p.revents & POLLIN);
}

class LoopbackTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(platform.OpenNotifier(&sink)); }
  void TearDown() override {
    for (int fd : rawFds) close(fd);
  }

  bool PumpUntil(const std::function<bool()>& pred) { return loop::testing::PumpUntil(loop, pred); }
  // Lets whatever is ready now be handled, several rounds, without waiting long.
  void Settle(int rounds = 5) {
    for (int i = 0; i < rounds; ++i) loop.ProcessReady(10);
  }

  SocketHandle ListeningSocket(uint16_t mask, uint16_t* port) { return ListenOnLoopback(platform, mask, port); }

  // A blocking far-side socket connected to 127.0.0.1:port.
  int RawConnect(uint16_t port) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = Loopback();
    EXPECT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    rawFds.push_back(fd);
    return fd;
  }

  void RawClose(int fd) {
    close(fd);
    std::erase(rawFds, fd);
  }
  // Closes with a reset instead of an orderly end.
  void RawAbort(int fd) {
    linger abort{1, 0};
    EXPECT_EQ(setsockopt(fd, SOL_SOCKET, SO_LINGER, &abort, sizeof abort), 0);
    RawClose(fd);
  }

  // A platform socket accepted from a raw connection; notifications selected by mask.
  SocketHandle AcceptedFromRaw(uint16_t mask, int* raw) {
    uint16_t port = 0;
    SocketHandle listener = ListeningSocket(mask | kFdAccept, &port);
    *raw = RawConnect(port);
    EXPECT_TRUE(PumpUntil([&] { return sink.Count(listener, kFdAccept) == 1; }));
    SockAddrIn peer;
    SocketHandle s = platform.Accept(listener, &peer);
    EXPECT_GE(s, 0);
    EXPECT_EQ(platform.CloseSocket(listener), 0);
    return s;
  }

  RecordingSink sink;  // outlives the platform that reports to it
  loop::EventLoop loop;
  LinuxPlatform platform{loop};
  std::vector<int> rawFds;
};

}  // namespace toruna::net::testing
