#include "client/SendWindow.h"

#include "protocol/Frame.h"

namespace toruna::client {

namespace {
const std::vector<uint8_t> kProbe = protocol::frames::EventData(0, 0);
}  // namespace

SendWindow::SendWindow(SendFn send) : send_(std::move(send)) {}

void SendWindow::Send(std::vector<uint8_t> frame) {
  queuedBytes_ += frame.size();
  queue_.push_back(std::move(frame));
  Flush();
}

void SendWindow::Answered() {
  if (probes_.empty()) return;  // not ours to count
  confirmed_ = probes_.front();
  probes_.pop_front();
  Flush();
}

void SendWindow::Probe() {
  if (queue_.empty() && sent_ != LastProbe()) SendProbe();
}

void SendWindow::Flush() {
  if (flushing_) return;
  flushing_ = true;
  while (!queue_.empty()) {
    const size_t size = queue_.front().size();
    // Room is always kept for one more round trip. With nothing unconfirmed a
    // frame goes out whatever its size, so that an outsized one cannot stall.
    if (sent_ != confirmed_ && sent_ - confirmed_ + size + kProbe.size() > kLimit) {
      if (sent_ != LastProbe()) SendProbe();
      break;
    }
    std::vector<uint8_t> frame = std::move(queue_.front());
    queue_.pop_front();
    queuedBytes_ -= size;
    sent_ += size;
    send_(frame);
    if (sent_ - LastProbe() >= kProbeEvery) SendProbe();
  }
  flushing_ = false;
}

void SendWindow::SendProbe() {
  sent_ += kProbe.size();
  probes_.push_back(sent_);
  send_(kProbe);
}

}  // namespace toruna::client
