// What the kernel alone charges a relay for fan-out over loopback TCP: the least
// any server can cost per delivery on this machine. A relay process that does
// nothing but wait, take what arrived in one receive and hand the same bytes to
// each subscriber with one send, fed like the load generator's fan-out (9-byte
// values, a window of values in flight, one process reading every subscriber).
//
//   toruna-loopback-floor [--subs N[,N...]] [--window W] [--seconds S] [--runs R]
//
// Prints one JSON line per run and one per fan-out (the medians, shaped as the
// load generator's fan-out summary, server "floor"): deliveries per second, the
// relay's CPU seconds per million deliveries, values and microseconds per batch.
// Run it in a network namespace of its own; it uses 127.0.0.1 and ephemeral
// ports only.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr size_t kValue = 9;

[[noreturn]] void Fail(const char* what) {
  std::perror(what);
  std::exit(1);
}

double Seconds(clockid_t clock) {
  timespec ts{};
  clock_gettime(clock, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

void NoDelay(int fd) {
  int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

// n+1 connected pairs over 127.0.0.1: index 0 is the publisher's.
void Connect(size_t n, std::vector<int>& relaySide, std::vector<int>& generatorSide) {
  const int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  if (bind(listener, reinterpret_cast<sockaddr*>(&addr), len) != 0 || listen(listener, 4096) != 0 ||
      getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
    Fail("listen");
  }
  for (size_t i = 0; i <= n; ++i) {
    const int c = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (connect(c, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) Fail("connect");
    const int a = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (a < 0) Fail("accept");
    NoDelay(a);
    NoDelay(c);
    relaySide.push_back(a);
    generatorSide.push_back(c);
  }
  close(listener);
}

struct RelayCounts {
  double cpu = 0;
  uint64_t batches = 0, sends = 0;
};

// The relay: every arrival from the publisher goes to every subscriber, in one
// send each. It stops when the publisher closes and reports through `report`.
void Relay(const std::vector<int>& fds, int report) {
  const int ep = epoll_create1(EPOLL_CLOEXEC);
  epoll_event ev{};
  ev.events = EPOLLIN;
  ev.data.fd = fds[0];
  epoll_ctl(ep, EPOLL_CTL_ADD, fds[0], &ev);
  std::vector<uint8_t> buffer(1 << 16);
  RelayCounts counts;
  bool measuring = false;
  double start = 0;
  for (;;) {
    epoll_event ready[64];
    if (epoll_wait(ep, ready, 64, -1) < 0) {
      if (errno == EINTR) continue;
      Fail("epoll_wait");
    }
    const ssize_t got = recv(fds[0], buffer.data(), buffer.size(), 0);
    if (got == 0) break;
    if (got < 0) continue;
    ++counts.batches;
    for (size_t i = 1; i < fds.size(); ++i) {
      size_t off = 0;
      while (off < static_cast<size_t>(got)) {
        const ssize_t sent = send(fds[i], buffer.data() + off, static_cast<size_t>(got) - off, MSG_NOSIGNAL);
        ++counts.sends;
        if (sent <= 0) Fail("send");  // the window keeps every queue short: no would-block
        off += static_cast<size_t>(sent);
      }
    }
    // The generator's first value is a marker, not counted: the clock starts after it.
    if (!measuring) {
      measuring = true;
      start = Seconds(CLOCK_PROCESS_CPUTIME_ID);
      counts = RelayCounts{};
    }
  }
  counts.cpu = Seconds(CLOCK_PROCESS_CPUTIME_ID) - start;
  if (write(report, &counts, sizeof counts) != sizeof counts) Fail("write");
}

// The generator: keeps `window` values in flight, a value done when every
// subscriber has it, as the load generator does.
void Generate(const std::vector<int>& fds, size_t window, double seconds, uint64_t& published) {
  const size_t subs = fds.size() - 1;
  const int ep = epoll_create1(EPOLL_CLOEXEC);
  for (size_t i = 1; i <= subs; ++i) {
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.u64 = i;
    epoll_ctl(ep, EPOLL_CTL_ADD, fds[i], &ev);
  }
  std::vector<uint64_t> received(subs + 1, 0);  // bytes per subscriber
  std::vector<uint8_t> values(kValue * window, 0x2a), scratch(1 << 16);
  published = 0;
  const double end = Seconds(CLOCK_MONOTONIC) + seconds;
  bool publishing = true;
  uint64_t lastDone = 0;
  double lastProgress = Seconds(CLOCK_MONOTONIC);
  for (;;) {
    uint64_t done = UINT64_MAX;
    for (size_t i = 1; i <= subs; ++i) done = std::min(done, received[i] / kValue);
    if (done != lastDone) {
      lastDone = done;
      lastProgress = Seconds(CLOCK_MONOTONIC);
    } else if (Seconds(CLOCK_MONOTONIC) - lastProgress > 10) {
      std::fprintf(stderr, "the relay stalled with %llu values in flight\n",
                   static_cast<unsigned long long>(published - done));
      std::exit(1);
    }
    if (publishing && Seconds(CLOCK_MONOTONIC) >= end) publishing = false;
    if (!publishing && done == published) break;
    const uint64_t room = publishing ? window - (published - done) : 0;
    if (room > 0) {
      if (send(fds[0], values.data(), room * kValue, MSG_NOSIGNAL) != static_cast<ssize_t>(room * kValue)) {
        Fail("publish");
      }
      published += room;
    }
    epoll_event ready[256];
    const int n = epoll_wait(ep, ready, 256, 1000);
    for (int k = 0; k < n; ++k) {
      const size_t i = ready[k].data.u64;
      const ssize_t got = recv(fds[i], scratch.data(), scratch.size(), MSG_DONTWAIT);
      if (got > 0) received[i] += static_cast<uint64_t>(got);
    }
  }
  close(ep);
}

struct RunResult {
  double rate = 0, cpuPerM = 0, cores = 0;
};

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0 : v[v.size() / 2];
}

RunResult Run(size_t subs, size_t window, double seconds, int run) {
  std::vector<int> relaySide, generatorSide;
  Connect(subs, relaySide, generatorSide);
  int pipeFds[2];
  if (pipe(pipeFds) != 0) Fail("pipe");
  const pid_t child = fork();
  if (child < 0) Fail("fork");
  if (child == 0) {
    for (int fd : generatorSide) close(fd);
    Relay(relaySide, pipeFds[1]);
    _exit(0);
  }
  for (int fd : relaySide) close(fd);
  // One marker value (not counted) starts the relay's clock, and is read back
  // before the run so that the run starts from rest.
  const uint8_t marker[kValue] = {0x2a};
  send(generatorSide[0], marker, kValue, MSG_NOSIGNAL);
  std::vector<uint8_t> scratch(kValue);
  for (size_t i = 1; i <= subs; ++i) {
    if (recv(generatorSide[i], scratch.data(), kValue, MSG_WAITALL) != static_cast<ssize_t>(kValue)) Fail("marker");
  }
  uint64_t published = 0;
  const double start = Seconds(CLOCK_MONOTONIC);
  Generate(generatorSide, window, seconds, published);
  const double wall = Seconds(CLOCK_MONOTONIC) - start;
  shutdown(generatorSide[0], SHUT_WR);
  RelayCounts counts;
  if (read(pipeFds[0], &counts, sizeof counts) != sizeof counts) Fail("report");
  waitpid(child, nullptr, 0);
  for (int fd : generatorSide) close(fd);
  close(pipeFds[0]);
  close(pipeFds[1]);
  const double deliveries = static_cast<double>(published) * static_cast<double>(subs);
  const double batches = static_cast<double>(std::max<uint64_t>(counts.batches, 1));
  RunResult r;
  r.rate = deliveries / wall;
  r.cpuPerM = counts.cpu / deliveries * 1e6;
  r.cores = counts.cpu / wall;
  std::printf(
      "{\"server\":\"floor\",\"scenario\":\"fanout_run\",\"subs\":%zu,\"window\":%zu,\"run\":%d,"
      "\"deliveries\":%.0f,\"rate\":%.0f,\"cpu_s\":%.6f,\"cpu_per_m\":%.6f,\"values_per_batch\":%.1f,"
      "\"sends_per_batch\":%.2f,\"us_per_batch\":%.2f}\n",
      subs, window, run, deliveries, r.rate, counts.cpu, r.cpuPerM, static_cast<double>(published) / batches,
      static_cast<double>(counts.sends) / batches, counts.cpu / batches * 1e6);
  std::fflush(stdout);
  std::fprintf(stderr, "floor fan-out %zu subs run %d: %.0f deliveries/s, %.3f CPU s per M\n", subs, run, r.rate,
               r.cpuPerM);
  return r;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<size_t> subs{1, 10, 100, 1000};
  size_t window = 64;
  double seconds = 3;
  int runs = 1;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string opt = argv[i];
    if (opt == "--subs") {
      subs.clear();
      for (char* p = argv[i + 1]; *p != '\0';) {
        subs.push_back(std::strtoul(p, &p, 10));
        if (*p == ',') ++p;
      }
    } else if (opt == "--window") {
      window = std::strtoul(argv[i + 1], nullptr, 10);
    } else if (opt == "--seconds") {
      seconds = std::strtod(argv[i + 1], nullptr);
    } else if (opt == "--runs") {
      runs = std::max(1, std::atoi(argv[i + 1]));
    } else {
      std::fprintf(stderr, "usage: %s [--subs N[,N...]] [--window W] [--seconds S] [--runs R]\n", argv[0]);
      return 2;
    }
  }
  if (window == 0 || window > 4096) {
    std::fprintf(stderr, "the window must be 1 to 4096\n");
    return 2;
  }
  for (size_t n : subs) {
    if (n == 0) continue;
    std::vector<double> rates, costs, cores;
    for (int run = 1; run <= runs; ++run) {
      const RunResult r = Run(n, window, seconds, run);
      rates.push_back(r.rate);
      costs.push_back(r.cpuPerM);
      cores.push_back(r.cores);
    }
    std::printf(
        "{\"server\":\"floor\",\"scenario\":\"fanout\",\"subs\":%zu,\"runs\":%d,\"median\":%.0f,"
        "\"min\":%.0f,\"max\":%.0f,\"cpu_per_m\":%.4f,\"cores\":%.3f,\"ok\":true}\n",
        n, runs, Median(rates), *std::min_element(rates.begin(), rates.end()),
        *std::max_element(rates.begin(), rates.end()), Median(costs), Median(cores));
    std::fflush(stdout);
  }
  return 0;
}
