#pragma once
// What the networked commands share when they run for real: a connection to
// the server that the command works through, registration under the chosen
// (or default) client name, the end of the connection ending the run with
// status 1, and a loop that runs until something calls Finish.

#include <chrono>
#include <cmath>
#include <string>

#include "Output.h"
#include "client/Connection.h"
#include "client/WireText.h"
#include "loop/EventLoop.h"

namespace toruna::cli {

// "toruna-cli@" and the local machine's name ("toruna-cli" when unknown).
inline std::string DefaultClientName(const std::string& localHost) {
  return localHost.empty() ? "toruna-cli" : "toruna-cli@" + localHost;
}

// A --timeout as the loop's delay, and as text for a note ("2.5 seconds").
inline std::chrono::microseconds TimeoutOf(double seconds) {
  return std::chrono::microseconds(static_cast<int64_t>(std::llround(seconds * 1e6)));
}
inline std::string SecondsText(double seconds) {
  std::string text = std::to_string(seconds);
  text.erase(text.find_last_not_of('0') + 1);
  if (text.back() == '.') text.pop_back();
  return text + (text == "1" ? " second" : " seconds");
}

template <typename Command>
class CommandSession {
 public:
  template <typename Options>
  CommandSession(const Options& options, Output& output, net::modNetSocket& dispatcher,
                 loop::EventLoop& loop)
      : connection(dispatcher, loop), command(options, output, connection), output_(output), loop_(loop) {
    connection.OnEnded = [this](const client::Ending& e) {
      output_.Note(e.message);
      Finish(1);
    };
  }
  CommandSession(const CommandSession&) = delete;
  CommandSession& operator=(const CommandSession&) = delete;

  template <typename Options>
  void Open(const Options& options) {
    try {
      connection.Open(options.host,
                      options.name.value_or(DefaultClientName(connection.LocalHostName())));
    } catch (const client::TextError& e) {
      output_.Note(e.what());
      Finish(2);
    }
  }

  // The first status given wins; the loop stops.
  void Finish(int status) {
    if (status_ != -1) return;
    status_ = status;
    loop_.Stop();
  }
  bool Finished() const { return status_ != -1; }

  // Runs the loop unless the run already ended; returns the exit status.
  int RunLoop() {
    if (status_ == -1) loop_.Run();
    return status_;
  }

  client::Connection connection;
  Command command;  // after the connection, which it works through

 private:
  Output& output_;
  loop::EventLoop& loop_;
  int status_ = -1;
};

}  // namespace toruna::cli
