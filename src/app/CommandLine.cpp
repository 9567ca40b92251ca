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
    if (arg == "--service") {
      cl.service_ = true;
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

std::string CommandLine::Usage(bool tray) {
  std::string text = tray ? "Usage: toruna-tray [--headless]\n" : "Usage: toruna-server [--service]\n";
  text +=
      "\n"
      "Relays events between the client programs of a local network.\n"
      "Answers discovery on UDP port 9666 and takes clients on TCP port 13131.\n"
      "Settings are read from section [Toruna] of\n"
      "$XDG_CONFIG_HOME/Velmor Software.conf (~/.config when unset): Servername,\n"
      "Listen and AllowFrom (which address to serve on, and whom), and\n"
      "KeepAliveIdle, KeepAliveInterval, KeepAliveCount and UserTimeout (how soon a\n"
      "client that vanished without a word is dropped); see toruna-settings(5).\n"
      "\n";
  if (tray) {
    text +=
        "  --headless  run without a window; log lines go to standard output\n"
        "              (also chosen when no display is available)\n";
  } else {
    text +=
        "Log lines go to standard output, problems to standard error.\n"
        "\n"
        "  --service   run as the system service: named after the host when no\n"
        "              Servername is set, serving only local and private addresses\n"
        "              unless AllowFrom says otherwise, and telling systemd when it\n"
        "              is ready\n"
        "  --headless  accepted and ignored: this program never opens a window\n";
  }
  text +=
      "  --help      show this text and exit\n"
      "  --version   show the version and exit\n"
      "\n"
      "SIGTERM or SIGINT (Ctrl+C) stops the server; SIGHUP is logged and ignored.\n";
  return text;
}

std::string CommandLine::VersionText(const std::string& program, const std::string& version) {
  return program + " " + version + "\n";
}

}  // namespace toruna::app
