// toruna-bridge: a Toruna server's events in an MQTT broker, and back.

#include <csignal>
#include <cstdlib>
#include <exception>
#include <iostream>
#include <string>
#include <vector>

#include "BridgeApp.h"
#include "BridgeArguments.h"
#include "MqttLink.h"
#include "net/RaisedError.h"
#include "net/linux/SignalWatch.h"
#include "net/modNetSocket.h"

using namespace toruna;

int main(int argc, char** argv) {
  // Before the socket layer starts its lookup thread, which must not take the signals.
  net::SignalWatch::Block();
  // A broker that goes away mid-write (TLS writes with plain write()) must be
  // an error to handle, not the end of the program.
  std::signal(SIGPIPE, SIG_IGN);

  bridge::CommandLine cl;
  try {
    cl = bridge::BridgeArguments::Parse(std::vector<std::string>(argv + 1, argv + argc));
    // The service hands the password over as a systemd credential, whose path
    // only its unit knows; an empty one there means none.
    const char* fromService = std::getenv("TORUNA_BRIDGE_PASSWORD_FILE");
    if (cl.options.passwordFile.empty() && !cl.options.mqtt.username.empty() && fromService != nullptr &&
        *fromService != '\0') {
      std::string password = bridge::BridgeApp::ReadPassword(fromService);
      if (!password.empty()) cl.options.mqtt.password = std::move(password);
    } else if (!cl.options.passwordFile.empty()) {
      cl.options.mqtt.password = bridge::BridgeApp::ReadPassword(cl.options.passwordFile);
    }
  } catch (const bridge::UsageError& e) {
    std::cerr << "toruna-bridge: " << e.what() << "\nTry 'toruna-bridge --help'.\n";
    return 2;
  }
  if (cl.help) {
    std::cout << bridge::BridgeArguments::HelpText();
    return 0;
  }
  if (cl.version) {
    std::cout << "toruna-bridge " << TORUNA_VERSION << "\n";
    return 0;
  }

  try {
    net::modNetSocket& dispatcher = net::modNetSocket::Default();
    net::EventLoop& loop = net::modNetSocket::DefaultLoop();
    try {
      // The certificate files are checked now, not at the first connection.
      bridge::MqttLink trial(loop, cl.options.mqtt);
    } catch (const bridge::MqttError& e) {
      std::cerr << "toruna-bridge: " << e.what() << "\n";
      return 2;
    }
    cl.options.version = TORUNA_VERSION;
    bridge::BridgeApp app(cl.options, std::cerr, dispatcher, loop);
    return app.Run();
  } catch (const net::RaisedError& e) {
    std::cerr << "toruna-bridge: " << e.Source() << ": " << e.Description() << " (" << e.Number() << ")\n";
    return 1;
  } catch (const std::exception& e) {
    std::cerr << "toruna-bridge: " << e.what() << "\n";
    return 1;
  }
}
