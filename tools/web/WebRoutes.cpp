#include "WebRoutes.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <vector>

#include "JsonViews.h"
#include "JsonWriter.h"
#include "ValueText.h"
#include "client/WireText.h"

namespace toruna::web {

using tools::JsonWriter;

namespace {

const char* const kOk = "{\"ok\":true}";

std::string Arg(const HttpRequest& r, const char* name) { return r.Query(name).value_or(""); }

// The host part of "host", "host:port", "[v6]" or "[v6]:port", lower case.
std::string HostPart(const std::string& host) {
  std::string h = host;
  if (!h.empty() && h.front() == '[') {
    const size_t close = h.find(']');
    h = close == std::string::npos ? h : h.substr(0, close + 1);
  } else if (const size_t colon = h.rfind(':'); colon != std::string::npos) {
    h = h.substr(0, colon);
  }
  for (char& c : h) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return h;
}

Millis Now() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
      .count();
}

}  // namespace

WebRoutes::WebRoutes(const WebOptions& options, ServerSet& servers, LiveStreams& streams, const StaticFiles& files,
                     std::function<Metrics::Figures()> figures)
    : options_(options), servers_(servers), streams_(streams), files_(files), figures_(std::move(figures)) {}

bool WebRoutes::LoopbackHost(const std::string& host) {
  const std::string h = HostPart(host);
  if (h == "localhost" || h == "[::1]") return true;
  if (!h.starts_with("127.")) return false;
  return h.find_first_not_of("0123456789.") == std::string::npos;
}

bool WebRoutes::SameOrigin(const std::string& origin, const std::string& host) {
  const size_t scheme = origin.find("://");
  if (scheme == std::string::npos) return false;
  std::string a = origin.substr(scheme + 3);
  std::string b = host;
  for (std::string* s : {&a, &b}) {
    for (char& c : *s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  }
  // An origin leaves out the scheme's default port; a Host header may too.
  auto withPort = [](const std::string& s) {
    const size_t bracket = s.rfind(']');
    const size_t colon = s.rfind(':');
    const bool hasPort = colon != std::string::npos && (bracket == std::string::npos || colon > bracket);
    return hasPort ? s : s + ":80";
  };
  return origin.starts_with("http://") && withPort(a) == withPort(b);
}

HttpResponse WebRoutes::Handle(const HttpRequest& r) {
  const std::string host = r.Header("Host").value_or("");
  if (options_.listen.Loopback() && !LoopbackHost(host)) {
    return HttpResponse::Error(403, "this server answers only to this machine's loopback names, not '" + host + "'");
  }
  if (r.method == "GET") return Get(r);
  if (r.method == "POST" || r.method == "DELETE") {
    if (auto origin = r.Header("Origin"); origin && !SameOrigin(*origin, host)) {
      return HttpResponse::Error(403, "requests from the pages of other sites are not taken");
    }
    return Change(r);
  }
  HttpResponse e = HttpResponse::Error(405, "method " + r.method + " is not allowed");
  e.headers.push_back({"Allow", "GET, HEAD, POST, DELETE"});
  return e;
}

HttpResponse WebRoutes::Get(const HttpRequest& r) {
  const std::string& p = r.path;
  if (p == "/api/stream") return HttpResponse::Stream();
  if (p == "/api/servers") return HttpResponse::Json(JsonViews::Servers(servers_));
  if (p == "/api/roster") {
    std::vector<std::string> all;
    for (const auto& s : servers_) all.push_back(JsonViews::Roster(*s));
    return HttpResponse::Json(JsonWriter().AddRaw("servers", JsonWriter::Array(all)).Str());
  }
  if (p == "/api/values") return Values();
  if (p == "/api/history") return History(r);
  if (p == "/metrics") {
    HttpResponse m;
    m.contentType = "text/plain; version=0.0.4; charset=utf-8";
    m.body = Metrics::Render(servers_, figures_());
    return m;
  }
  if (p.starts_with("/api/")) return HttpResponse::Error(404, "no such API: " + p);
  if (auto file = files_.Find(p)) {
    HttpResponse f;
    f.contentType = file->type;
    f.staticBody = file->body;
    f.headers.push_back({"Cache-Control", "no-cache"});
    return f;
  }
  return HttpResponse::Error(404, "no such page: " + p);
}

HttpResponse WebRoutes::Change(const HttpRequest& r) {
  const std::string& p = r.path;
  if (p == "/api/watch" && r.method == "POST") return Watch(r);
  if (p == "/api/own" || p == "/api/publish") {
    if (!options_.allowPublish) return HttpResponse::Error(403, "publishing is off (start toruna-web with --allow-publish)");
    if (p == "/api/publish" && r.method == "POST") return Publish(r);
    if (p == "/api/own") return r.method == "POST" ? CreateOwn(r) : RemoveOwn(r);
  }
  return HttpResponse::Error(404, "no such API: " + r.method + " " + p);
}

ServerWatch* WebRoutes::Server(const HttpRequest& r, HttpResponse& error) const {
  const std::string id = Arg(r, "server");
  if (id.empty() || id.size() > 9 || id.find_first_not_of("0123456789") != std::string::npos) {
    error = HttpResponse::Error(400, "server= needs a server's id (see /api/servers)");
    return nullptr;
  }
  ServerWatch* s = FindServer(servers_, std::stoi(id));
  if (s == nullptr) error = HttpResponse::Error(404, "no server " + id);
  return s;
}

HttpResponse WebRoutes::Values() const {
  std::vector<std::string> values;
  for (const auto& s : servers_) {
    for (const auto& [id, e] : s->Events()) {
      if (!e.values.HasValue()) continue;
      values.push_back(JsonWriter()
                           .Add("server", s->Name())
                           .Add("server_id", static_cast<int64_t>(s->Id()))
                           .Add("client", e.client)
                           .Add("event", e.entry.name)
                           .Add("unit", e.entry.unit)
                           .Add("value", static_cast<int64_t>(e.values.Last().value))
                           .Add("time", e.values.Last().at)
                           .Str());
    }
  }
  return HttpResponse::Json(JsonWriter().AddRaw("values", JsonWriter::Array(values)).Str());
}

HttpResponse WebRoutes::History(const HttpRequest& r) const {
  HttpResponse error;
  ServerWatch* s = Server(r, error);
  if (s == nullptr) return error;
  const EventPath path{Arg(r, "client"), Arg(r, "event")};
  // Normally one event; two of the same names (two clients of one name) are
  // merged, as the page plots them in one.
  std::deque<Sample> samples;
  const Millis now = Now();
  for (const auto& [id, e] : s->Events()) {
    if (e.Path() != path) continue;
    for (const Sample& x : e.values.Samples()) {
      if (x.at >= now - ValueHistory::kKeep) samples.push_back(x);
    }
  }
  std::stable_sort(samples.begin(), samples.end(), [](const Sample& a, const Sample& b) { return a.at < b.at; });
  return HttpResponse::Json(JsonWriter()
                                .Add("server", static_cast<int64_t>(s->Id()))
                                .Add("client", path.client)
                                .Add("event", path.event)
                                .AddRaw("values", JsonViews::Samples(samples))
                                .Str());
}

HttpResponse WebRoutes::Watch(const HttpRequest& r) {
  HttpResponse error;
  ServerWatch* s = Server(r, error);
  if (s == nullptr) return error;
  const std::string client = Arg(r, "client");
  const std::string event = Arg(r, "event");
  const std::string on = Arg(r, "on");
  if (client.empty() || event.empty()) return HttpResponse::Error(400, "client= and event= name the event to watch");
  if (on != "1" && on != "0") return HttpResponse::Error(400, "on= is 1 (watch) or 0 (stop watching)");
  switch (streams_.Watch(Arg(r, "stream"), s->Id(), {client, event}, on == "1")) {
    case LiveStreams::WatchResult::Ok: return HttpResponse::Json(kOk);
    case LiveStreams::WatchResult::NoStream: return HttpResponse::Error(404, "no open stream has that token");
    case LiveStreams::WatchResult::NoServer: break;
  }
  return HttpResponse::Error(404, "no such server");
}

HttpResponse WebRoutes::CreateOwn(const HttpRequest& r) {
  HttpResponse error;
  ServerWatch* s = Server(r, error);
  if (s == nullptr) return error;
  const std::string maxText = r.Query("max").value_or("255");
  if (maxText.empty() || maxText.size() > 5 || maxText.find_first_not_of("0123456789") != std::string::npos ||
      std::stoi(maxText) < 1 || std::stoi(maxText) > 255) {
    return HttpResponse::Error(400, "max= needs a number from 1 to 255");
  }
  try {
    s->CreateOwn(Arg(r, "name"), Arg(r, "unit"), static_cast<int16_t>(std::stoi(maxText)));
  } catch (const client::TextError& e) {
    return HttpResponse::Error(400, e.what());
  }
  return HttpResponse::Json(kOk);
}

HttpResponse WebRoutes::RemoveOwn(const HttpRequest& r) {
  HttpResponse error;
  ServerWatch* s = Server(r, error);
  if (s == nullptr) return error;
  if (!s->RemoveOwn(Arg(r, "name"))) return HttpResponse::Error(404, "no own event of that name");
  return HttpResponse::Json(kOk);
}

HttpResponse WebRoutes::Publish(const HttpRequest& r) {
  HttpResponse error;
  ServerWatch* s = Server(r, error);
  if (s == nullptr) return error;
  const auto value = tools::ValueText::Parse(Arg(r, "value"));
  if (!value) return HttpResponse::Error(400, "value= needs a whole number from 0 to 255");
  switch (s->PublishOwn(Arg(r, "event"), *value)) {
    case ServerWatch::Sent::Ok: return HttpResponse::Json(kOk);
    case ServerWatch::Sent::Unknown: return HttpResponse::Error(404, "no own event of that name (create it first)");
    case ServerWatch::Sent::NotReady: break;
  }
  return HttpResponse::Error(409, "the event is not created on the server yet (is it connected?)");
}

}  // namespace toruna::web
