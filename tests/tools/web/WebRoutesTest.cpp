#include "WebRoutes.h"

#include <gtest/gtest.h>

#include "Metrics.h"
#include "ValueHistory.h"

namespace toruna::web {
namespace {

// While listening on loopback, only loopback names may reach the program: a
// site that rebinds a name of its own to 127.0.0.1 arrives with that name.
TEST(WebRoutesTest, LoopbackHostsOnly) {
  for (const char* host : {"127.0.0.1:8080", "127.0.0.1", "localhost:8080", "LOCALHOST", "[::1]:8080", "127.3.4.5:1"}) {
    EXPECT_TRUE(WebRoutes::LoopbackHost(host)) << host;
  }
  for (const char* host : {"evil.example:8080", "127.0.0.1.evil.example", "localhost.evil.example:8080",
                           "10.0.0.1:8080", "[::2]:8080", "", "127.example"}) {
    EXPECT_FALSE(WebRoutes::LoopbackHost(host)) << host;
  }
}

// A change requested by a page must come from this program's own page.
TEST(WebRoutesTest, SameOriginOnly) {
  EXPECT_TRUE(WebRoutes::SameOrigin("http://127.0.0.1:8080", "127.0.0.1:8080"));
  EXPECT_TRUE(WebRoutes::SameOrigin("http://Lab.local", "lab.local:80"));
  EXPECT_TRUE(WebRoutes::SameOrigin("http://[::1]:8080", "[::1]:8080"));
  EXPECT_FALSE(WebRoutes::SameOrigin("http://evil.example", "127.0.0.1:8080"));
  EXPECT_FALSE(WebRoutes::SameOrigin("http://127.0.0.1:9999", "127.0.0.1:8080"));
  EXPECT_FALSE(WebRoutes::SameOrigin("https://127.0.0.1:8080", "127.0.0.1:8080"));
  EXPECT_FALSE(WebRoutes::SameOrigin("null", "127.0.0.1:8080"));
}

TEST(WebRoutesTest, MetricLabelsAreEscaped) {
  EXPECT_EQ(Metrics::Label("Küche \"A\"\\b\nc"), "Küche \\\"A\\\"\\\\b\\nc");
}

TEST(WebRoutesTest, KeepsTenMinutesAtMostAndTheLastValueAlways) {
  ValueHistory h;
  EXPECT_FALSE(h.HasValue());
  const Millis t0 = 1'700'000'000'000;
  h.Add(t0, 1);
  h.Add(t0 + 1000, 2);
  h.Add(t0 + ValueHistory::kKeep + 500, 3);  // the first is now older than ten minutes
  ASSERT_EQ(h.Samples().size(), 2u);
  EXPECT_EQ(h.Samples().front().value, 2);
  EXPECT_EQ(h.Last().value, 3);
  EXPECT_EQ(h.Count(), 3u);

  h.Prune(t0 + ValueHistory::kKeep + 1001);
  EXPECT_EQ(h.Samples().size(), 1u);
  h.Forget();
  EXPECT_TRUE(h.Samples().empty());
  EXPECT_EQ(h.Last().value, 3) << "forgetting keeps the last value";
  EXPECT_EQ(h.Count(), 3u);

  for (size_t i = 0; i < ValueHistory::kMaxKept + 10; ++i) h.Add(t0 + 2 * ValueHistory::kKeep, static_cast<uint8_t>(i));
  EXPECT_EQ(h.Samples().size(), ValueHistory::kMaxKept) << "a burst keeps only the newest";
  EXPECT_EQ(h.Samples().back().value, static_cast<uint8_t>(ValueHistory::kMaxKept + 9));
}

}  // namespace
}  // namespace toruna::web
