#pragma once
// What the networked commands share when they run for real: a link to the
// server that feeds the command its frames, registration under the chosen (or
// default) client name once connected, a failed link ending the run with
// status 1, and a loop that runs until something calls Finish.

#include <string>
#include <utility>
#include <vector>

#include "Output.h"
#include "client/ServerLink.h"
#include "net/linux/EventLoop.h"
#include "session/Frame.h"

namespace toruna::cli {

template <typename Command>
class CommandSession {
 public:
  template <typename Options>
  CommandSession(const Options& options, Output& output, net::modNetSocket& dispatcher,
                 net::EventLoop& loop)
      : link(dispatcher, loop,
             client::ServerLink::Handlers{
                 .connected = nullptr,  // set below, once the command exists
                 .frame = [this](const session::FrameView& f) { command.OnFrame(f); },
                 .failed =
                     [this, &output](const std::string& reason) {
                       output.Note(reason);
                       Finish(1);
                     },
             }),
        command(options, output, [this](const std::vector<uint8_t>& f) { link.Send(f); }),
        loop_(loop) {
    link.SetOnConnected([this, name = options.name] {
      command.OnConnected(name.value_or(link.DefaultClientName()));
    });
  }
  CommandSession(const CommandSession&) = delete;
  CommandSession& operator=(const CommandSession&) = delete;

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

  client::ServerLink link;
  Command command;  // after the link, which it sends through

 private:
  net::EventLoop& loop_;
  int status_ = -1;
};

}  // namespace toruna::cli
