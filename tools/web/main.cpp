// toruna-web: a live dashboard of Toruna servers in the browser.

#include <csignal>
#include <exception>
#include <iostream>
#include <string>
#include <vector>

#include "HttpServer.h"
#include "WebApp.h"
#include "WebArguments.h"
#include "net/RaisedError.h"
#include "net/linux/SignalWatch.h"
#include "net/modNetSocket.h"

#ifndef TORUNA_VERSION
#define TORUNA_VERSION "unknown"
#endif

using namespace toruna;

int main(int argc, char** argv) {
  // Before the socket layer starts its lookup thread, which must not take the signals.
  net::SignalWatch::Block();
  // A browser that goes away mid-answer must be an error to handle, not the
  // end of the program.
  std::signal(SIGPIPE, SIG_IGN);

  web::CommandLine cl;
  try {
    cl = web::WebArguments::Parse(std::vector<std::string>(argv + 1, argv + argc));
  } catch (const web::UsageError& e) {
    std::cerr << "toruna-web: " << e.what() << "\nTry 'toruna-web --help'.\n";
    return 2;
  }
  if (cl.help) {
    std::cout << web::WebArguments::HelpText();
    return 0;
  }
  if (cl.version) {
    std::cout << "toruna-web " << TORUNA_VERSION << "\n";
    return 0;
  }

  try {
    net::modNetSocket& dispatcher = net::modNetSocket::Default();
    net::EventLoop& loop = net::modNetSocket::DefaultLoop();
    web::WebApp app(cl.options, std::cerr, dispatcher, loop);
    try {
      app.Listen();
    } catch (const web::ListenError& e) {
      std::cerr << "toruna-web: " << e.what() << "\n";
      return 1;
    }
    return app.Run();
  } catch (const net::RaisedError& e) {
    std::cerr << "toruna-web: " << e.Source() << ": " << e.Description() << " (" << e.Number() << ")\n";
    return 1;
  } catch (const std::exception& e) {
    std::cerr << "toruna-web: " << e.what() << "\n";
    return 1;
  }
}
