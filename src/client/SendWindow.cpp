#include "client/SendWindow.h"

#include "protocol/Frame.h"

namespace toruna::client {

namespace {
const std::vector<uint8_t> kProbe = protocol::frames::EventData(0, 0);
}  // namespace

SendWindow::SendWindow(SendFn send) : send_(std::move(send)) {}

void SendWindow::Send(std::vector<uint8_t> frame, bool answered) {
  queuedBytes_ += frame.size();
  queue_.push_back({std::move(frame), answered});
  Flush();
}

void SendWindow::Answered() {
  if (marks_.empty()) return;  // not ours to count
  confirmed_ = marks_.front();
  marks_.pop_front();
  Flush();
}

void SendWindow::Probe() {
  if (queue_.empty() && sent_ != LastMark()) SendProbe();
}

void SendWindow::Reset() {
  queue_.clear();
  queuedBytes_ = 0;
  marks_.clear();
  sent_ = confirmed_ = 0;
}

void SendWindow::Flush() {
  if (flushing_) return;
  flushing_ = true;
  while (!queue_.empty()) {
    const size_t size = queue_.front().frame.size();
    const bool answered = queue_.front().answered;
    // An answered frame confirms itself and all before it; any other needs
    // room behind it for the round trip that will. With nothing unconfirmed a
    // frame goes out whatever its size, so that an outsized one cannot stall.
    const size_t room = size + (answered ? 0 : kProbe.size());
    if (sent_ != confirmed_ && sent_ - confirmed_ + room > kLimit) {
      if (sent_ != LastMark()) SendProbe();
      break;
    }
    std::vector<uint8_t> frame = std::move(queue_.front().frame);
    queue_.pop_front();
    queuedBytes_ -= size;
    sent_ += size;
    if (answered) marks_.push_back(sent_);
    send_(frame);
    if (!answered && sent_ - LastMark() >= kProbeEvery) SendProbe();
  }
  flushing_ = false;
}

void SendWindow::SendProbe() {
  sent_ += kProbe.size();
  marks_.push_back(sent_);
  send_(kProbe);
}

}  // namespace toruna::client
