// toruna-loadgen: a neutral client that loads a relay with one publisher and
// many subscribers, or with many idle clients, over Toruna's frames, MQTT 3.1.1
// or NATS, and checks every delivery; over Toruna's frames it also times how
// fast newcomers are announced to idle clients. One thread, epoll, loopback only.

#include <cstdio>
#include <exception>
#include <sstream>
#include <string>

#include "Bench.h"
#include "Options.h"
#include "Stats.h"

using namespace loadgen;

namespace {

// One JSON object per line on stdout; fields are added in order.
class JsonLine {
 public:
  JsonLine(const Options& o, const char* scenario) {
    os_.precision(12);  // counts stay exact; rates and times keep their digits
    Add("server", o.label);
    Add("proto", o.proto);
    Add("scenario", std::string(scenario));
  }
  JsonLine& Add(const char* key, const std::string& v) {
    Key(key);
    os_ << '"';
    for (char ch : v) {
      if (ch == '"' || ch == '\\') os_ << '\\';
      os_ << ch;
    }
    os_ << '"';
    return *this;
  }
  JsonLine& Add(const char* key, double v) {
    Key(key);
    os_ << v;
    return *this;
  }
  JsonLine& Add(const char* key, bool v) {
    Key(key);
    os_ << (v ? "true" : "false");
    return *this;
  }
  void Emit() {
    std::printf("{%s}\n", os_.str().c_str());
    std::fflush(stdout);
  }

 private:
  void Key(const char* key) {
    if (!first_) os_ << ',';
    first_ = false;
    os_ << '"' << key << "\":";
  }
  std::ostringstream os_;
  bool first_ = true;
};

bool RelayOk(const RelayResult& r) { return r.loss == 0 && r.disorder == 0; }

int FanOut(const Options& o, Bench& b) {
  b.SetUpFanOut(o.subscribers);
  if (o.warmup > 0) b.Relay(o.window, o.warmup, o.messages, false);
  std::vector<double> rates;
  bool ok = true;
  for (size_t run = 1; run <= o.runs; ++run) {
    RelayResult r = b.Relay(o.window, o.seconds, o.messages, false);
    ok = ok && RelayOk(r);
    rates.push_back(r.Rate());
    JsonLine(o, "fanout_run").Add("subs", double(o.subscribers)).Add("window", double(o.window))
        .Add("run", double(run)).Add("messages", double(r.messages))
        .Add("deliveries", double(r.deliveries)).Add("seconds", r.seconds)
        .Add("rate", r.Rate()).Add("loss", double(r.loss)).Add("disorder", double(r.disorder))
        .Add("ok", RelayOk(r)).Emit();
    std::fprintf(stderr, "%s fan-out %zu subs run %zu: %.0f deliveries/s (loss %llu, disorder %llu)\n",
                 o.label.c_str(), o.subscribers, run, r.Rate(),
                 static_cast<unsigned long long>(r.loss), static_cast<unsigned long long>(r.disorder));
  }
  double lo = rates[0], hi = rates[0];
  for (double v : rates) lo = std::min(lo, v), hi = std::max(hi, v);
  JsonLine(o, "fanout").Add("subs", double(o.subscribers)).Add("runs", double(rates.size()))
      .Add("median", Median(rates)).Add("min", lo).Add("max", hi).Add("ok", ok).Emit();
  return ok ? 0 : 1;
}

int Latency(const Options& o, Bench& b) {
  b.SetUpFanOut(o.subscribers);
  if (o.warmup > 0) b.Relay(1, o.warmup, o.messages, false);
  RelayResult r = b.Relay(1, o.seconds, o.messages, true);
  const bool ok = RelayOk(r);
  JsonLine(o, "latency").Add("subs", double(o.subscribers)).Add("samples", double(r.latencyUs.size()))
      .Add("p50_us", Percentile(r.latencyUs, 0.50)).Add("p99_us", Percentile(r.latencyUs, 0.99))
      .Add("max_us", Percentile(r.latencyUs, 1.0)).Add("loss", double(r.loss))
      .Add("disorder", double(r.disorder)).Add("ok", ok).Emit();
  std::fprintf(stderr, "%s latency %zu subs: p50 %.1f us, p99 %.1f us, max %.1f us over %zu\n",
               o.label.c_str(), o.subscribers, Percentile(r.latencyUs, 0.5),
               Percentile(r.latencyUs, 0.99), Percentile(r.latencyUs, 1.0), r.latencyUs.size());
  return ok ? 0 : 1;
}

int ConnScale(const Options& o, Bench& b) {
  ScaleResult r = b.ConnectMany(o.clients, o.serverPid);
  const double rate = r.seconds > 0 ? double(r.clients) / r.seconds : 0;
  JsonLine line(o, "connscale");
  line.Add("clients", double(r.clients)).Add("seconds", r.seconds).Add("rate", rate);
  if (r.rssBeforeKb >= 0 && r.rssAfterKb >= 0) {
    const double perConn = (double(r.rssAfterKb) - double(r.rssBeforeKb)) * 1024.0 / double(r.clients);
    line.Add("rss_before_kb", double(r.rssBeforeKb)).Add("rss_after_kb", double(r.rssAfterKb))
        .Add("bytes_per_conn", perConn);
  }
  if (r.listenDrops >= 0) line.Add("listen_drops", double(r.listenDrops));
  line.Add("pending", double(o.maxPending)).Add("ok", true).Emit();
  std::fprintf(stderr, "%s registered %zu clients in %.3f s, %.0f/s, %zu at a time (%ld connects dropped by a full accept queue); RSS %ld -> %ld kB\n",
               o.label.c_str(), r.clients, r.seconds, rate, o.maxPending, r.listenDrops,
               r.rssBeforeKb, r.rssAfterKb);
  return 0;
}

int Announce(const Options& o, Bench& b) {
  AnnounceResult r = b.Announce(o.subscribers, o.messages);
  const auto& reg = r.registrationUs;
  const auto& ann = r.announcementUs;
  const bool ok = r.rosterErrors == 0;
  JsonLine(o, "announce").Add("watchers", double(r.watchers)).Add("samples", double(reg.size()))
      .Add("reg_p50_us", Percentile(reg, 0.50)).Add("reg_p99_us", Percentile(reg, 0.99))
      .Add("reg_max_us", Percentile(reg, 1.0)).Add("ann_p50_us", Percentile(ann, 0.50))
      .Add("ann_p99_us", Percentile(ann, 0.99)).Add("ann_max_us", Percentile(ann, 1.0))
      .Add("roster_errors", double(r.rosterErrors)).Add("ok", ok).Emit();
  std::fprintf(stderr, "%s announce to %zu watchers over %zu newcomers: registration p50 %.1f us, "
               "p99 %.1f us, max %.1f us; announcement p50 %.1f us, p99 %.1f us, max %.1f us"
               "%s\n",
               o.label.c_str(), r.watchers, reg.size(), Percentile(reg, 0.5),
               Percentile(reg, 0.99), Percentile(reg, 1.0), Percentile(ann, 0.5),
               Percentile(ann, 0.99), Percentile(ann, 1.0),
               ok ? "" : "; some newcomers were not told of every client before them");
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
  try {
    Bench b(*proto, o.port ? o.port : proto->DefaultPort(), o.maxPending);
    if (o.scenario == "fanout") return FanOut(o, b);
    if (o.scenario == "latency") return Latency(o, b);
    if (o.scenario == "announce") return Announce(o, b);
    return ConnScale(o, b);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "toruna-loadgen: %s: %s\n", o.label.c_str(), e.what());
    JsonLine(o, "error").Add("subs", double(o.subscribers)).Add("clients", double(o.clients))
        .Add("scenario_asked", o.scenario)
        .Add("error", std::string(e.what())).Add("ok", false).Emit();
    return 1;
  }
}
