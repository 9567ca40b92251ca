#include "app/LogOutput.h"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <unistd.h>

#include <csignal>
#include <string>

#include "loop/EventLoop.h"

namespace toruna::app {
namespace {

class LogOutputTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::signal(SIGPIPE, SIG_IGN);  // as main does
    ASSERT_EQ(pipe(fds), 0);
  }
  void TearDown() override {
    if (fds[0] >= 0) close(fds[0]);
    close(fds[1]);
  }
  std::string ReadAll() {
    std::string text;
    char buffer[65536];
    fcntl(fds[0], F_SETFL, O_NONBLOCK);
    for (;;) {
      const ssize_t n = read(fds[0], buffer, sizeof buffer);
      if (n <= 0) break;
      text.append(buffer, static_cast<size_t>(n));
    }
    return text;
  }
  loop::EventLoop loop;
  int fds[2] = {-1, -1};
};

TEST_F(LogOutputTest, APipeNobodyReadsNeverBlocksAndDroppedLinesAreCountedOnceItDrains) {
  LogOutput out(loop, fds[1], 4096);
  const std::string line(99, 'x');  // 100 bytes with the line feed
  // Far more than the pipe and the buffer hold: each call returns at once.
  for (int i = 0; i < 2000; ++i) out.Line(line + std::to_string(i % 10));
  EXPECT_GT(out.Dropped(), 0u);
  EXPECT_LE(out.Held(), 4096u);
  const uint64_t dropped = out.Dropped();

  std::string text = ReadAll();
  for (int i = 0; i < 5 && out.Held() > 0; ++i) {
    loop.ProcessReady(10);
    text += ReadAll();
  }
  EXPECT_EQ(out.Held(), 0u);
  // Whole lines in order, then the count of those that did not fit.
  ASSERT_FALSE(text.empty());
  EXPECT_EQ(text.back(), '\n');
  const std::string report = std::to_string(dropped) + " log lines dropped (the output was not read)\n";
  ASSERT_GE(text.size(), report.size());
  EXPECT_EQ(text.substr(text.size() - report.size()), report);
  EXPECT_EQ(text.substr(0, 101), line + "0\n");
  EXPECT_EQ((text.size() - report.size()) % 101, 0u);

  // Caught up: the next line goes straight out.
  out.Line("after");
  EXPECT_EQ(ReadAll(), "after\n");
}

TEST_F(LogOutputTest, AReaderThatHasGoneEndsTheWritingNotTheProgram) {
  LogOutput out(loop, fds[1]);
  out.Line("first");
  close(fds[0]);
  fds[0] = -1;
  out.Line("second");
  out.Line("third");
  EXPECT_EQ(out.Held(), 0u);
  EXPECT_EQ(out.Dropped(), 0u);
}

}  // namespace
}  // namespace toruna::app
