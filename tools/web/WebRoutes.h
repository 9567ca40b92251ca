#pragma once
// What the program answers over HTTP:
//   GET  /                      the page (and its files)
//   GET  /metrics               Prometheus metrics
//   GET  /api/servers           the servers and their state
//   GET  /api/roster            every server's clients and events
//   GET  /api/values            the last value of every event that has one
//   GET  /api/history?server=ID&client=C&event=E   the kept values of an event
//   GET  /api/stream            the page's live stream (Server-Sent Events)
//   POST /api/watch?stream=TOKEN&server=ID&client=C&event=E&on=1|0
//   POST /api/own?server=ID&name=N[&unit=U][&max=M]      with --allow-publish
//   DELETE /api/own?server=ID&name=N                     with --allow-publish
//   POST /api/publish?server=ID&event=N&value=V          with --allow-publish
// Arguments travel in the query. Requests from another site's page are
// refused: a POST whose Origin is not this server's, and while listening on
// loopback any request whose Host names another machine (DNS rebinding).
// This class owns nothing but its state; the servers, streams and files are
// the program's.

#include <functional>
#include <string>

#include "HttpServer.h"
#include "LiveStreams.h"
#include "Metrics.h"
#include "StaticFiles.h"

namespace toruna::web {

class WebRoutes : public HttpHandler {
 public:
  WebRoutes(const WebOptions& options, ServerSet& servers, LiveStreams& streams, const StaticFiles& files,
            std::function<Metrics::Figures()> figures);

  HttpResponse Handle(const HttpRequest& request) override;
  void StreamOpened(EventStream& stream) override { streams_.Opened(stream); }
  void StreamClosed(EventStream& stream) override { streams_.Closed(stream); }

  // Whether a Host header names this machine by a loopback name or address.
  static bool LoopbackHost(const std::string& host);
  // Whether an Origin header ("http://host:port") is the site of Host.
  static bool SameOrigin(const std::string& origin, const std::string& host);

 private:
  HttpResponse Get(const HttpRequest& r);
  HttpResponse Change(const HttpRequest& r);
  HttpResponse Values() const;
  HttpResponse History(const HttpRequest& r) const;
  HttpResponse Watch(const HttpRequest& r);
  HttpResponse CreateOwn(const HttpRequest& r);
  HttpResponse RemoveOwn(const HttpRequest& r);
  HttpResponse Publish(const HttpRequest& r);
  // The server named by ?server=, or an error answer.
  ServerWatch* Server(const HttpRequest& r, HttpResponse& error) const;

  const WebOptions& options_;
  ServerSet& servers_;
  LiveStreams& streams_;
  const StaticFiles& files_;
  std::function<Metrics::Figures()> figures_;
};

}  // namespace toruna::web
