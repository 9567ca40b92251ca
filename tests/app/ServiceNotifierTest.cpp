// What systemd is told: ready only once clients can find and reach the server,
// and a status line whenever what it serves changes.

#include "app/ServiceNotifier.h"

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "app/HeadlessService.h"
#include "server/ServerHarness.h"

namespace toruna::app {
namespace {

using server::testing::ServerHarness;
using server::testing::TempSettings;

TEST(ServiceNotifierTest, ReadyOnlyOnceBothPortsAreOpenWithTheStatusBeside) {
  const int holder = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  ASSERT_EQ(bind(holder, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  socklen_t size = sizeof address;
  getsockname(holder, reinterpret_cast<sockaddr*>(&address), &size);
  const int port = ntohs(address.sin_port);

  TempSettings settings("[Toruna]\nServername=Lab\n");
  ServerHarness server(settings.path(), false, [&](server::ServerConfig& c) { c.discoveryPort = port; });
  server.form->Form_Load();
  std::vector<std::string> sent;
  ServiceNotifier notifier([&](const std::string& text) { sent.push_back(text); });
  notifier.Update(*server.form);
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0], "STATUS=Serving 0 clients as \"Lab\"; discovery waits for UDP port " +
                         std::to_string(port));
  EXPECT_FALSE(notifier.Ready());
  notifier.Update(*server.form);
  EXPECT_EQ(sent.size(), 1u);  // nothing changed, nothing sent

  close(holder);
  server.form->tmrMain_Timer();
  notifier.Update(*server.form);
  ASSERT_EQ(sent.size(), 2u);
  EXPECT_EQ(sent[1], "READY=1\nSTATUS=Serving 0 clients as \"Lab\"");
  EXPECT_TRUE(notifier.Ready());
  notifier.Stopping();
  EXPECT_EQ(sent.back(), "STOPPING=1\nSTATUS=Stopping");
}

TEST(ServiceNotifierTest, TheServiceDefaultsNameTheHostAndServeLocalAddresses) {
  const server::ServerConfig config = HeadlessService::ServiceConfig("lab-host");
  EXPECT_EQ(config.defaultName, "lab-host");
  EXPECT_EQ(config.defaultAllowFrom, "local");
  EXPECT_EQ(config.listenPort, 13131);
  EXPECT_EQ(config.discoveryPort, 9666);
  // The desktop application's: a made-up name, everybody served.
  EXPECT_EQ(server::ServerConfig{}.defaultName, "");
  EXPECT_EQ(server::ServerConfig{}.defaultAllowFrom, "any");
}

}  // namespace
}  // namespace toruna::app
