#include "app/CommandLine.h"

namespace toruna::app {

CommandLine CommandLine::Parse(const std::vector<std::string>& args) {
  CommandLine cl;
  for (const std::string& arg : args) {
    if (arg == "--help" || arg == "-h") {
      cl.action_ = Action::Help;
      return cl;
    }
    if (arg == "--version") {
      cl.action_ = Action::Version;
      return cl;
    }
    if (arg == "--headless") {
      cl.headless_ = true;
      continue;
    }
    cl.action_ = Action::Error;
    cl.error_ = (arg.size() > 1 && arg[0] == '-') ? "unknown option '" + arg + "'"
                                                  : "unexpected argument '" + arg + "'";
    return cl;
  }
  return cl;
}

std::string CommandLine::Usage() {
  return "Usage: toruna-server [--headless]\n"
         "\n"
         "Relays events between the client programs of a local network.\n"
         "Answers discovery on UDP port 9666 and takes clients on TCP port 13131.\n"
         "The server name is read from the key Servername in section [Toruna] of\n"
         "$XDG_CONFIG_HOME/Velmor Software.conf (~/.config when unset); the keys\n"
         "KeepAliveIdle, KeepAliveInterval, KeepAliveCount and UserTimeout there set\n"
         "how soon a client that vanished without a word is dropped (see the manual).\n"
         "\n"
         "  --headless  run without a window; log lines go to standard output\n"
         "              (also chosen when no display is available)\n"
         "  --help      show this text and exit\n"
         "  --version   show the version and exit\n"
         "\n"
         "SIGTERM or SIGINT (Ctrl+C) stops the server.\n";
}

std::string CommandLine::VersionText(const std::string& version) {
  return "toruna-server " + version + "\n";
}

}  // namespace toruna::app
