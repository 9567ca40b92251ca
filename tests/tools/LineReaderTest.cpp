#include "LineReader.h"

#include <gtest/gtest.h>
#include <unistd.h>

namespace toruna::cli {
namespace {

TEST(LineReaderTest, SplitsChunksIntoTrimmedLines) {
  loop::EventLoop loop;
  std::vector<std::string> lines;
  int ends = 0;
  LineReader r(loop, -1, [&](const std::string& l) { lines.push_back(l); }, [&] { ++ends; });
  r.Take("1\n2");
  EXPECT_EQ(lines, (std::vector<std::string>{"1"}));
  r.Take("3\r\n  4 \n\n");
  r.Take("5");
  EXPECT_EQ(lines, (std::vector<std::string>{"1", "23", "4", ""}));
  r.Finish();
  EXPECT_EQ(lines, (std::vector<std::string>{"1", "23", "4", "", "5"}));
  EXPECT_TRUE(r.Ended());
  r.Finish();
  EXPECT_EQ(ends, 1);
}

TEST(LineReaderTest, ReadsAPipeThroughTheLoopUntilItCloses) {
  loop::EventLoop loop;
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  std::vector<std::string> lines;
  bool ended = false;
  LineReader r(loop, fds[0], [&](const std::string& l) { lines.push_back(l); },
               [&] { ended = true; });
  r.Start();
  ASSERT_EQ(write(fds[1], "10\n20\n3", 7), 7);
  close(fds[1]);
  for (int i = 0; i < 100 && !ended; ++i) loop.ProcessReady(10);
  EXPECT_TRUE(ended);
  EXPECT_EQ(lines, (std::vector<std::string>{"10", "20", "3"}));
  close(fds[0]);
}

}  // namespace
}  // namespace toruna::cli
