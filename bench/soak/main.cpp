// toruna-soak: the churn soak's driver. Runs the clients against a server on
// 127.0.0.1 (see Soak.h), prints progress every few seconds, then waits a
// bounded time for the server to come back to where it started and prints a
// summary. Exit status 0 when every check held, 1 when one failed, 2 on bad use.
//
// Back at baseline: the server's descriptors and its registered count (asked by
// discovery) must return to their values before the first client within
// --settle seconds; its resident memory must end within --rss-slack-mb of its
// start. Departed sessions are released by the server's timer one per second,
// beginning about ten seconds after a departure, so memory that departed
// sessions hold is given back only that slowly: the slack is what is allowed
// to remain when the settle time is over.

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <optional>
#include <string>
#include <thread>

#include "ServerProbe.h"
#include "Soak.h"

namespace {

void Usage() {
  std::fprintf(stderr,
               "usage: toruna-soak --server-pid PID [--clients N] [--cycles N] [--seconds S]\n"
               "                   [--progress S] [--settle S] [--rss-slack-mb N] [--max-joining N]\n"
               "                   [--seed N]\n");
}

}  // namespace

int main(int argc, char** argv) {
  soak::Options options;
  long rssSlackKb = 32 * 1024;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (i + 1 >= argc) {
      Usage();
      return 2;
    }
    const char* value = argv[++i];
    if (arg == "--server-pid") options.serverPid = std::atoi(value);
    else if (arg == "--clients") options.clients = std::atoi(value);
    else if (arg == "--cycles") options.cycles = std::strtoull(value, nullptr, 10);
    else if (arg == "--seconds") options.seconds = std::atof(value);
    else if (arg == "--progress") options.progress = std::atof(value);
    else if (arg == "--settle") options.settle = std::atof(value);
    else if (arg == "--rss-slack-mb") rssSlackKb = std::atol(value) * 1024;
    else if (arg == "--max-joining") options.maxJoining = std::atoi(value);
    else if (arg == "--seed") options.seed = static_cast<uint32_t>(std::strtoul(value, nullptr, 10));
    else {
      Usage();
      return 2;
    }
  }
  if (options.serverPid <= 0 || options.clients < 1) {
    Usage();
    return 2;
  }

  soak::ServerProbe probe(options.serverPid);
  const long baseFds = probe.Descriptors();
  const long baseRss = probe.RssKb();
  const std::optional<long> baseCount = soak::ServerProbe::RegisteredCount();
  if (baseFds < 0 || !baseCount) {
    std::fprintf(stderr, "soak: the server (pid %d) cannot be watched or does not answer discovery\n",
                 options.serverPid);
    return 1;
  }
  std::printf("soak: baseline: server fds %ld, rss %ld kB, registered %ld; %d clients, %llu cycles, at most %.0f s\n",
              baseFds, baseRss, *baseCount, options.clients,
              static_cast<unsigned long long>(options.cycles), options.seconds);
  std::fflush(stdout);

  soak::Totals totals;
  bool ok = true;
  try {
    soak::Soak soak(options);
    totals = soak.Run();
  } catch (const std::exception& e) {
    std::printf("soak: FAILED: %s\n", e.what());
    ok = false;
  }
  if (ok && totals.cycles < options.cycles) {
    std::printf("soak: FAILED: only %llu of %llu cycles before the time bound\n",
                static_cast<unsigned long long>(totals.cycles),
                static_cast<unsigned long long>(options.cycles));
    ok = false;
  }

  // Bounded wait for the server to return to its baseline.
  const auto start = std::chrono::steady_clock::now();
  long fds = -1, rss = -1, peakRss = baseRss;
  std::optional<long> count;
  for (;;) {
    fds = probe.Descriptors();
    rss = probe.RssKb();
    peakRss = std::max(peakRss, rss);
    count = soak::ServerProbe::RegisteredCount();
    const double waited = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const bool back = fds == baseFds && count == baseCount && rss <= baseRss + rssSlackKb;
    if (back || waited > options.settle) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
  }
  const double waited = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();

  std::printf("soak: summary: %llu cycles in %.1f s (%.0f/s); %llu ended by reset, %llu mid-frame, "
              "%llu without unsubscribing; %llu values to churning subscribers, all in order; "
              "steady publisher %llu values, its %d subscribers got %llu in all\n",
              static_cast<unsigned long long>(totals.cycles), totals.elapsed,
              totals.elapsed > 0 ? static_cast<double>(totals.cycles) / totals.elapsed : 0.0,
              static_cast<unsigned long long>(totals.resets), static_cast<unsigned long long>(totals.midFrame),
              static_cast<unsigned long long>(totals.skippedUnsubscribe),
              static_cast<unsigned long long>(totals.valuesSeen),
              static_cast<unsigned long long>(totals.stayerPublished), 3,
              static_cast<unsigned long long>(totals.stayerDelivered));
  std::printf("soak: after %.1f s of settling: server fds %ld (baseline %ld), registered %ld (baseline %ld), "
              "rss %ld kB (baseline %ld kB, peak %ld kB, slack %ld kB; %.0f bytes per cycle kept)\n",
              waited, fds, baseFds, count.value_or(-1), *baseCount, rss, baseRss, peakRss, rssSlackKb,
              totals.cycles > 0 ? 1024.0 * static_cast<double>(rss - baseRss) / static_cast<double>(totals.cycles) : 0.0);
  if (fds != baseFds) {
    std::printf("soak: FAILED: descriptors not back at baseline\n");
    ok = false;
  }
  if (count != baseCount) {
    std::printf("soak: FAILED: registered count not back at baseline\n");
    ok = false;
  }
  if (rss > baseRss + rssSlackKb) {
    std::printf("soak: FAILED: resident memory %ld kB above baseline after the settle time\n", rss - baseRss);
    ok = false;
  }
  std::printf("soak: %s\n", ok ? "passed" : "FAILED");
  return ok ? 0 : 1;
}
