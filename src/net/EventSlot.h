#pragma once
// One event of a socket object as its owner sets it: assigned a function (or
// nullptr), tested, and called. It is a single pointer while unset, because a
// server holds thousands of socket objects whose owners set none of them.
// This class owns the function it holds.

#include <cstddef>
#include <functional>
#include <memory>
#include <utility>

namespace toruna::net {

template <typename Signature>
class EventSlot;

template <typename... Args>
class EventSlot<void(Args...)> {
 public:
  using Function = std::function<void(Args...)>;

  EventSlot() = default;
  EventSlot(const EventSlot&) = delete;
  EventSlot& operator=(const EventSlot&) = delete;

  EventSlot& operator=(std::nullptr_t) {
    function_.reset();
    return *this;
  }
  template <typename F>
  EventSlot& operator=(F&& f) {
    Function function(std::forward<F>(f));
    if (function) {
      function_ = std::make_unique<Function>(std::move(function));
    } else {
      function_.reset();
    }
    return *this;
  }

  explicit operator bool() const { return function_ != nullptr; }

  // Calls a copy: the handler may replace or clear itself while it runs.
  void operator()(Args... args) const {
    if (!function_) return;
    Function copy = *function_;
    copy(std::forward<Args>(args)...);
  }

 private:
  std::unique_ptr<Function> function_;
};

}  // namespace toruna::net
