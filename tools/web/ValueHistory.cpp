#include "ValueHistory.h"

namespace toruna::web {

void ValueHistory::Add(Millis at, uint8_t value) {
  last_ = {at, value};
  ++count_;
  samples_.push_back(last_);
  if (samples_.size() > kMaxKept) samples_.pop_front();
  Prune(at);
}

void ValueHistory::Prune(Millis now) {
  while (!samples_.empty() && samples_.front().at < now - kKeep) samples_.pop_front();
}

}  // namespace toruna::web
