// toruna-loadgen: a neutral client that loads a relay with one publisher and
// many subscribers (as fast as a window allows, or at a fixed rate), with many
// idle clients, or with many clients leaving at once, over Toruna's frames,
// MQTT 3.1.1, NATS or Redis (RESP), and checks every delivery; over Toruna's
// frames it also times how fast newcomers are announced to idle clients. It
// reads the server's CPU and memory from /proc. One thread, epoll, loopback only.

#include <sys/prctl.h>
#include <unistd.h>

#include <cstdio>
#include <exception>
#include <string>

#include "Bench.h"
#include "JsonLine.h"
#include "Options.h"
#include "Stats.h"

using namespace loadgen;

namespace {

JsonLine Line(const Options& o, const char* scenario) { return JsonLine(o.label, o.proto, scenario); }

bool RelayOk(const RelayResult& r) { return r.loss == 0 && r.disorder == 0; }

// The server's CPU over a run: seconds, cores, per million deliveries, wake-ups
// per second; and the generator's own cores, to see which of the two was the limit.
void AddCpu(JsonLine& line, const CpuMeter::Reading& cpu, uint64_t deliveries) {
  if (cpu.cpuS < 0) return;
  line.Add("cpu_s", cpu.cpuS).Add("cores", cpu.Cores());
  if (deliveries > 0) line.Add("cpu_per_m", cpu.cpuS / double(deliveries) * 1e6);
  if (cpu.runs >= 0 && cpu.wallS > 0) line.Add("wakeups_per_s", double(cpu.runs) / cpu.wallS);
  if (cpu.wallS > 0) line.Add("loadgen_cores", cpu.selfCpuS / cpu.wallS);
}

void AddPercentiles(JsonLine& line, const std::string& prefix, const std::vector<double>& us) {
  line.Add((prefix + "p50_us").c_str(), Percentile(us, 0.50))
      .Add((prefix + "p99_us").c_str(), Percentile(us, 0.99))
      .Add((prefix + "max_us").c_str(), Percentile(us, 1.0));
}

int FanOut(const Options& o, Bench& b) {
  b.SetUpFanOut(o.subscribers);
  if (o.warmup > 0) b.Relay(o.window, o.warmup, o.messages, false);
  std::vector<double> rates, costs, cores;
  bool ok = true;
  for (size_t run = 1; run <= o.runs; ++run) {
    RelayResult r = b.Relay(o.window, o.seconds, o.messages, false);
    ok = ok && RelayOk(r);
    rates.push_back(r.Rate());
    JsonLine line = Line(o, "fanout_run");
    line.Add("subs", double(o.subscribers)).Add("window", double(o.window))
        .Add("run", double(run)).Add("messages", double(r.messages))
        .Add("deliveries", double(r.deliveries)).Add("seconds", r.seconds)
        .Add("rate", r.Rate()).Add("loss", double(r.loss)).Add("disorder", double(r.disorder));
    AddCpu(line, r.cpu, r.deliveries);
    line.Add("ok", RelayOk(r)).Emit();
    if (r.cpu.cpuS >= 0 && r.deliveries > 0) {
      costs.push_back(r.cpu.cpuS / double(r.deliveries) * 1e6);
      cores.push_back(r.cpu.Cores());
    }
    std::fprintf(stderr, "%s fan-out %zu subs run %zu: %.0f deliveries/s, %.3f CPU s per M (loss %llu, disorder %llu)\n",
                 o.label.c_str(), o.subscribers, run, r.Rate(),
                 costs.empty() ? -1.0 : costs.back(),
                 static_cast<unsigned long long>(r.loss), static_cast<unsigned long long>(r.disorder));
  }
  double lo = rates[0], hi = rates[0];
  for (double v : rates) lo = std::min(lo, v), hi = std::max(hi, v);
  JsonLine line = Line(o, "fanout");
  line.Add("subs", double(o.subscribers)).Add("runs", double(rates.size()))
      .Add("median", Median(rates)).Add("min", lo).Add("max", hi);
  if (!costs.empty()) line.Add("cpu_per_m", Median(costs)).Add("cores", Median(cores));
  line.Add("ok", ok).Emit();
  return ok ? 0 : 1;
}

int Latency(const Options& o, Bench& b) {
  b.SetUpFanOut(o.subscribers);
  if (o.warmup > 0) b.Relay(1, o.warmup, o.messages, false);
  RelayResult r = b.Relay(1, o.seconds, o.messages, true);
  const bool ok = RelayOk(r);
  JsonLine line = Line(o, "latency");
  line.Add("subs", double(o.subscribers)).Add("samples", double(r.latencyUs.size()));
  AddPercentiles(line, "", r.latencyUs);
  line.Add("loss", double(r.loss)).Add("disorder", double(r.disorder));
  AddCpu(line, r.cpu, r.deliveries);
  line.Add("ok", ok).Emit();
  std::fprintf(stderr, "%s latency %zu subs: p50 %.1f us, p99 %.1f us, max %.1f us over %zu\n",
               o.label.c_str(), o.subscribers, Percentile(r.latencyUs, 0.5),
               Percentile(r.latencyUs, 0.99), Percentile(r.latencyUs, 1.0), r.latencyUs.size());
  return ok ? 0 : 1;
}

int Light(const Options& o, Bench& b) {
  b.SetUpFanOut(o.subscribers);
  if (o.warmup > 0) b.Paced(o.rate, o.warmup);
  RelayResult r = b.Paced(o.rate, o.seconds);
  const bool ok = RelayOk(r);
  const double sent = r.seconds > 0 ? double(r.messages) / r.seconds : 0;
  JsonLine line = Line(o, "light");
  line.Add("subs", double(o.subscribers)).Add("rate", o.rate).Add("sent_per_s", sent)
      .Add("messages", double(r.messages)).Add("deliveries", double(r.deliveries))
      .Add("seconds", r.seconds);
  AddPercentiles(line, "delay_", r.latencyUs);
  line.Add("loss", double(r.loss)).Add("disorder", double(r.disorder));
  AddCpu(line, r.cpu, r.deliveries);
  line.Add("ok", ok).Emit();
  std::fprintf(stderr, "%s light load %.0f values/s to %zu subs: %.3f cores, %.0f wake-ups/s, delay p99 %.1f us\n",
               o.label.c_str(), o.rate, o.subscribers, r.cpu.Cores(),
               r.cpu.wallS > 0 ? double(r.cpu.runs) / r.cpu.wallS : -1.0, Percentile(r.latencyUs, 0.99));
  return ok ? 0 : 1;
}

// The server at rest: its resident memory before any client came, then its CPU
// while the publisher and subscribers of a fan-out stay connected and silent.
int Rest(const Options& o, Bench& b) {
  usleep(500 * 1000);  // what start-up still does is not rest
  const long rssKb = o.serverPid > 0 ? ReadRssKb(o.serverPid) : -1;
  b.SetUpFanOut(o.subscribers);
  b.Paced(0, 0.3);  // what the joining still sends is not rest either
  RelayResult r = b.Paced(0, o.seconds);
  JsonLine line = Line(o, "rest");
  line.Add("subs", double(o.subscribers)).Add("rss_kb", double(rssKb)).Add("seconds", r.seconds);
  AddCpu(line, r.cpu, 0);
  line.Add("ok", true).Emit();
  std::fprintf(stderr, "%s at rest: %ld kB resident; idle with %zu subscribers: %.5f cores\n",
               o.label.c_str(), rssKb, o.subscribers, r.cpu.Cores());
  return 0;
}

int ConnScale(const Options& o, Bench& b, bool registers) {
  ScaleResult r = b.ConnectMany(o.clients);
  const double rate = r.seconds > 0 ? double(r.clients) / r.seconds : 0;
  JsonLine line = Line(o, "connscale");
  line.Add("clients", double(r.clients)).Add("seconds", r.seconds).Add("rate", rate)
      .Add("registers", registers);
  if (r.rssBeforeKb >= 0 && r.rssAfterKb >= 0) {
    const double perConn = (double(r.rssAfterKb) - double(r.rssBeforeKb)) * 1024.0 / double(r.clients);
    line.Add("rss_before_kb", double(r.rssBeforeKb)).Add("rss_after_kb", double(r.rssAfterKb))
        .Add("bytes_per_conn", perConn);
  }
  if (r.rssColdKb >= 0 && r.rssAfterKb >= 0) {
    // From before the warm-up clients, over them too: the one-time cost shared out.
    const double perConn =
        (double(r.rssAfterKb) - double(r.rssColdKb)) * 1024.0 / double(r.clients + r.warmup);
    line.Add("rss_cold_kb", double(r.rssColdKb)).Add("bytes_per_conn_cold", perConn);
  }
  if (r.listenDrops >= 0) line.Add("listen_drops", double(r.listenDrops));
  AddCpu(line, r.cpu, 0);
  if (r.settledCpuS >= 0) line.Add("cpu_settled_s", r.settledCpuS);
  line.Add("pending", double(o.maxPending)).Add("ok", true).Emit();
  std::fprintf(stderr, "%s registered %zu clients in %.3f s, %.0f/s, %zu at a time (%ld connects dropped by a full accept queue); RSS %ld -> %ld kB (%ld before the warm-up clients)\n",
               o.label.c_str(), r.clients, r.seconds, rate, o.maxPending, r.listenDrops,
               r.rssBeforeKb, r.rssAfterKb, r.rssColdKb);
  return 0;
}

int Announce(const Options& o, Bench& b) {
  AnnounceResult r = b.Announce(o.subscribers, o.messages);
  const auto& reg = r.registrationUs;
  const auto& ann = r.announcementUs;
  const bool ok = r.rosterErrors == 0;
  JsonLine line = Line(o, "announce");
  line.Add("watchers", double(r.watchers)).Add("samples", double(reg.size()));
  AddPercentiles(line, "reg_", reg);
  AddPercentiles(line, "ann_", ann);
  line.Add("roster_errors", double(r.rosterErrors)).Add("ok", ok).Emit();
  std::fprintf(stderr, "%s announce to %zu watchers over %zu newcomers: registration p50 %.1f us, "
               "p99 %.1f us, max %.1f us; announcement p50 %.1f us, p99 %.1f us, max %.1f us"
               "%s\n",
               o.label.c_str(), r.watchers, reg.size(), Percentile(reg, 0.5),
               Percentile(reg, 0.99), Percentile(reg, 1.0), Percentile(ann, 0.5),
               Percentile(ann, 0.99), Percentile(ann, 1.0),
               ok ? "" : "; some newcomers were not told of every client before them");
  return ok ? 0 : 1;
}

int Storm(const Options& o, Bench& b) {
  const Departure how = o.how == "reset" ? Departure::Reset
                        : o.how == "owners" ? Departure::Owners : Departure::Close;
  b.SetUpFanOut(1);
  StormResult r = b.Storm(o.clients, how, o.rate, o.tail);
  const bool ok = RelayOk(r.steady);
  JsonLine line = Line(o, "storm");
  line.Add("how", o.how).Add("clients", double(r.clients)).Add("rate", o.rate)
      .Add("setup_s", r.setupS).Add("close_s", r.closeS).Add("fds_done_s", r.fdsDoneS)
      .Add("told_done_s", r.toldDoneS).Add("seconds", r.doneS)
      .Add("rss_before_kb", double(r.rssBeforeKb)).Add("peak_kb", double(r.peakKb))
      .Add("samples", double(r.steady.latencyUs.size()));
  AddPercentiles(line, "delay_", r.steady.latencyUs);
  line.Add("loss", double(r.steady.loss)).Add("disorder", double(r.steady.disorder));
  AddCpu(line, r.steady.cpu, 0);
  line.Add("ok", ok).Emit();
  std::fprintf(stderr, "%s storm: %zu clients leave (%s), done in %.3f s (descriptors %.3f s, told %.3f s); "
               "steady pair's worst delay %.1f ms; peak %ld kB from %ld kB\n",
               o.label.c_str(), r.clients, o.how.c_str(), r.doneS, r.fdsDoneS, r.toldDoneS,
               Percentile(r.steady.latencyUs, 1.0) / 1000, r.peakKb, r.rssBeforeKb);
  return ok ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  std::string error;
  if (!ParseOptions(argc, argv, o, error)) {
    if (error.empty()) {
      std::fputs(Usage(), stdout);
      return 0;
    }
    std::fprintf(stderr, "toruna-loadgen: %s\n%s", error.c_str(), Usage());
    return 2;
  }
  auto proto = MakeProtocol(o.proto);
  if (!proto) {
    std::fprintf(stderr, "toruna-loadgen: unknown protocol %s\n", o.proto.c_str());
    return 2;
  }
  if (o.scenario == "announce" && !proto->AnnouncesClients()) {
    std::fprintf(stderr, "toruna-loadgen: the announce scenario is Toruna-only (not %s)\n",
                 o.proto.c_str());
    return 2;
  }
  RaiseFileLimit();
  // Paced values leave when due, not up to 50 µs later.
  prctl(PR_SET_TIMERSLACK, 1UL, 0, 0, 0);
  try {
    Bench b(*proto, o.port ? o.port : proto->DefaultPort(), o.maxPending, o.serverPid);
    if (o.scenario == "fanout") return FanOut(o, b);
    if (o.scenario == "latency") return Latency(o, b);
    if (o.scenario == "light") return Light(o, b);
    if (o.scenario == "rest") return Rest(o, b);
    if (o.scenario == "announce") return Announce(o, b);
    if (o.scenario == "storm") return Storm(o, b);
    return ConnScale(o, b, proto->Registers());
  } catch (const std::exception& e) {
    std::fprintf(stderr, "toruna-loadgen: %s: %s\n", o.label.c_str(), e.what());
    Line(o, "error").Add("subs", double(o.subscribers)).Add("clients", double(o.clients))
        .Add("rate", o.rate).Add("how", o.how).Add("scenario_asked", o.scenario)
        .Add("error", std::string(e.what())).Add("ok", false).Emit();
    return 1;
  }
}
