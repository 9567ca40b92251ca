// ServerLink over real loopback TCP against a plain socket standing in for the
// server: frames split across writes, the end of the connection, a refusal.

#include "client/ServerLink.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <thread>

#include "client/WireText.h"
#include "net/linux/LinuxPlatform.h"
#include "net/linux/LoopPump.h"
#include "net/linux/LoopbackPeers.h"
#include "net/modNetSocket.h"

namespace toruna::client {
namespace {

using Bytes = std::vector<uint8_t>;

class ServerLinkTest : public ::testing::Test {
 protected:
  net::EventLoop loop;
  net::LinuxPlatform platform{loop};
  net::modNetSocket dispatcher{platform};
  uint16_t port = 0;
  net::testing::Fd listener = net::testing::LoopbackListener(&port);
  net::testing::Fd peer;

  bool PumpUntil(const std::function<bool()>& done) { return net::testing::PumpUntil(loop, done); }
  void AcceptPeer() {
    peer = net::testing::Fd(accept(listener.get(), nullptr, nullptr));
    ASSERT_GE(peer.get(), 0);
  }
  void Write(const Bytes& b) { ASSERT_EQ(write(peer.get(), b.data(), b.size()), static_cast<ssize_t>(b.size())); }
};

TEST_F(ServerLinkTest, DeliversFramesSplitAcrossWritesAndReportsTheServerClosing) {
  int connected = 0;
  std::vector<Bytes> frames;
  std::vector<std::string> failures;
  ServerLink link(dispatcher, loop,
                  {.connected = [&] { ++connected; },
                   .frame = [&](const session::FrameView& f) {
                     frames.emplace_back(f.Bytes().begin(), f.Bytes().end());
                   },
                   .failed = [&](const std::string& r) { failures.push_back(r); }});
  link.Open("127.0.0.1", port);
  AcceptPeer();
  ASSERT_TRUE(PumpUntil([&] { return connected == 1; }));

  link.Send(session::frames::ClientInfoRequest(WireText::ToWire("Ann")));
  ASSERT_TRUE(PumpUntil([&] { return link.Unsent() == 0; }));
  Bytes got(7);
  ASSERT_EQ(read(peer.get(), got.data(), got.size()), 7);
  EXPECT_EQ(got, (Bytes{42, 4, 0, 2, 'A', 'n', 'n'}));

  const Bytes a = session::frames::ClientInfo(3, WireText::ToWire("Bo"));
  const Bytes b = session::frames::ServerInfo(WireText::ToWire("Lab"));
  Write(Bytes(a.begin(), a.begin() + 2));
  ASSERT_TRUE(PumpUntil([&] { return link.Connected(); }));
  Bytes rest(a.begin() + 2, a.end());
  rest.insert(rest.end(), b.begin(), b.begin() + 5);
  Write(rest);
  ASSERT_TRUE(PumpUntil([&] { return frames.size() == 1; }));
  Write(Bytes(b.begin() + 5, b.end()));
  ASSERT_TRUE(PumpUntil([&] { return frames.size() == 2; }));
  EXPECT_EQ(frames[0], a);
  EXPECT_EQ(frames[1], b);

  peer.Reset();
  ASSERT_TRUE(PumpUntil([&] { return !failures.empty(); }));
  EXPECT_EQ(failures, (std::vector<std::string>{"the server on 127.0.0.1 closed the connection"}));
  EXPECT_TRUE(link.Failed());
  EXPECT_FALSE(link.Connected());
}

TEST_F(ServerLinkTest, ARefusedConnectionIsReportedOnce) {
  listener.Reset();  // nobody listens on the port any more
  std::vector<std::string> failures;
  ServerLink link(dispatcher, loop,
                  {.connected = nullptr, .frame = nullptr,
                   .failed = [&](const std::string& r) { failures.push_back(r); }});
  link.Open("127.0.0.1", port);
  ASSERT_TRUE(PumpUntil([&] { return !failures.empty(); }));
  loop.ProcessReady(20);
  ASSERT_EQ(failures.size(), 1u);
  EXPECT_NE(failures[0].find("connection refused by 127.0.0.1"), std::string::npos);
}

TEST_F(ServerLinkTest, ABrokenStreamEndsTheLink) {
  std::vector<std::string> failures;
  int frames = 0;
  ServerLink link(dispatcher, loop,
                  {.connected = nullptr, .frame = [&](const session::FrameView&) { ++frames; },
                   .failed = [&](const std::string& r) { failures.push_back(r); }});
  link.Open("127.0.0.1", port);
  AcceptPeer();
  Bytes s = session::frames::ServerInfo(WireText::ToWire("Lab"));
  s.insert(s.end(), {0x55, 1, 0});  // no marker where the next frame must begin
  Write(s);
  ASSERT_TRUE(PumpUntil([&] { return !failures.empty(); }));
  EXPECT_EQ(frames, 1);
  EXPECT_EQ(failures[0], "lost protocol sync with the server on 127.0.0.1");
}

}  // namespace
}  // namespace toruna::client
