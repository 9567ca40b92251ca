#include "app/HeadlessFrontEnd.h"

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <sstream>

#include "app/ServiceReport.h"
#include "base/RaisedError.h"

namespace toruna::app {
namespace {

TEST(HeadlessFrontEndTest, LogLinesGoOutOneByOneAndAlertsToTheOtherStream) {
  std::ostringstream out, err;
  HeadlessFrontEnd frontEnd(out, err);
  frontEnd.LogLineAdded("connection received");
  EXPECT_EQ(out.str(), "connection received\n");
  frontEnd.LogLineAdded("Lab 3 registered.");
  EXPECT_EQ(out.str(), "connection received\nLab 3 registered.\n");

  frontEnd.Alert("Invalid operation at current state", "CNetSocket.Bind");
  frontEnd.Alert("no caption", "");
  EXPECT_EQ(err.str(), "CNetSocket.Bind: Invalid operation at current state\nno caption\n");
  EXPECT_EQ(out.str(), "connection received\nLab 3 registered.\n");
}

TEST(HeadlessFrontEndTest, EveryEntryIsOneLineWhateverTheClientsNameHolds) {
  std::ostringstream out, err;
  HeadlessFrontEnd frontEnd(out, err);
  // NUL, LF, DEL and the C1 control U+008D (reverse line feed) are escaped; a
  // backslash, U+00E9, U+20AC and a stray lead byte at the end stay as they are.
  // (The hostile name of a real client is in the end-to-end test of the service.)
  using namespace std::string_literals;
  frontEnd.LogLineAdded("a\0b\n\x7f|\xc2\x8d|\\x0A \xc3\xa9\xe2\x82\xac\xc2"s);
  EXPECT_EQ(out.str(), "a\\x00b\\x0A\\x7F|\\xC2\\x8D|\\x0A \xc3\xa9\xe2\x82\xac\xc2\n");
}

TEST(HeadlessFrontEndTest, AnInstalledServiceReceivesTheLayersAlerts) {
  std::ostringstream out, err;
  HeadlessFrontEnd frontEnd(out, err);
  base::AlertService::Install(&frontEnd);
  base::AlertService::Current().Alert("text", "caption");
  base::AlertService::Install(nullptr);
  EXPECT_EQ(err.str(), "caption: text\n");
  EXPECT_NE(&base::AlertService::Current(), static_cast<base::AlertService*>(&frontEnd));
}

TEST(HeadlessFrontEndTest, NamesAPortInUse) {
  for (bool udp : {true, false}) {
    const int fd = socket(AF_INET, udp ? SOCK_DGRAM : SOCK_STREAM, 0);
    ASSERT_GE(fd, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    if (!udp) {
      ASSERT_EQ(listen(fd, 1), 0);
    }
    socklen_t length = sizeof address;
    ASSERT_EQ(getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length), 0);
    const int port = ntohs(address.sin_port);
    EXPECT_EQ(ServiceReport::PortReason(udp, port), "port " + std::to_string(port) + " is in use");
    close(fd);
    EXPECT_EQ(ServiceReport::PortReason(udp, port),
              "port " + std::to_string(port) + " was refused; it is free now");
  }
}

TEST(HeadlessFrontEndTest, FatalTextGivesNumberTextAndSource) {
  EXPECT_EQ(ServiceReport::FatalText(base::RaisedError(6, "frmMain.NewID", "Overflow")),
            "run-time error 6: Overflow (frmMain.NewID)");
  EXPECT_EQ(ServiceReport::FatalText(std::runtime_error("boom")), "internal error: boom");
}

}  // namespace
}  // namespace toruna::app
