#pragma once
// The waits between attempts to reach a peer: the first after half a second,
// each one twice the one before, up to half a minute; Reset once the peer is
// back.

#include <algorithm>
#include <chrono>
#include <string>

namespace toruna::bridge {

class Backoff {
 public:
  using ms = std::chrono::milliseconds;
  explicit Backoff(ms first = ms(500), ms longest = ms(30000)) : first_(first), longest_(longest) {}

  ms Next() {
    const ms wait = next_ == ms(0) ? first_ : next_;
    next_ = std::min(wait * 2, longest_);
    return wait;
  }
  void Reset() { next_ = ms(0); }

  // "0.5 s", "2 s": for the messages that announce a retry.
  static std::string Say(ms wait) {
    const auto tenths = wait.count() / 100;
    return tenths % 10 == 0 ? std::to_string(tenths / 10) + " s"
                            : std::to_string(tenths / 10) + "." + std::to_string(tenths % 10) + " s";
  }

 private:
  ms first_;
  ms longest_;
  ms next_{0};
};

}  // namespace toruna::bridge
