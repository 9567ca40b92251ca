#pragma once
// Host-name lookups off the loop's thread. One worker thread runs getaddrinfo for
// the queued names in order and hands each result back through an eventfd that the
// loop watches; completions are delivered on the loop's thread. This class owns
// the worker and the eventfd; it does not own the loop.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <unordered_set>

#include "loop/EventLoop.h"

namespace toruna::net {

class NameResolver {
 public:
  // request, platform error (0 = found), first IPv4 address in network byte order.
  using Completion = std::function<void(int32_t request, uint16_t error, uint32_t addr)>;

  NameResolver(loop::EventLoop& loop, Completion completion);
  ~NameResolver();
  NameResolver(const NameResolver&) = delete;
  NameResolver& operator=(const NameResolver&) = delete;

  // Queues a lookup; the request handle is never 0. Returns 0 (and sets *error) when
  // the worker cannot be started.
  int32_t Start(const std::string& name, int* error);
  // The completion of a cancelled request is never delivered. False when the
  // request is unknown or already completed.
  bool Cancel(int32_t request);

  // Blocking lookup on the caller's thread: 0 and the first address, or the error.
  static int Lookup(const std::string& name, uint32_t* addr);

 private:
  struct Shared;

  void StartWorker();
  void OnWakeUp();

  loop::EventLoop& loop_;
  Completion completion_;
  std::shared_ptr<Shared> shared_;
  std::thread worker_;
  bool workerStarted_ = false;
  int32_t nextRequest_ = 1;
  std::unordered_set<int32_t> outstanding_;
};

}  // namespace toruna::net
