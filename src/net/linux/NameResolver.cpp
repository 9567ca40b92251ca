#include "net/linux/NameResolver.h"

#include <netdb.h>
#include <netinet/in.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>

#include "net/Platform.h"
#include "net/linux/ErrnoMap.h"

namespace toruna::net {

// State shared with the worker. The worker holds its own reference, so a worker
// still inside getaddrinfo when the resolver goes can finish, find `stopping` set
// and drop the state without touching anything else.
struct NameResolver::Shared {
  struct Request {
    int32_t id;
    std::string name;
  };
  struct Result {
    int32_t id;
    int error;
    uint32_t addr;
  };

  std::mutex mutex;
  std::condition_variable wake;
  std::deque<Request> requests;
  std::deque<Result> results;
  bool stopping = false;
  bool busy = false;
  int eventFd = -1;

  ~Shared() {
    if (eventFd >= 0) close(eventFd);
  }

  void Work() {
    std::unique_lock<std::mutex> lock(mutex);
    for (;;) {
      wake.wait(lock, [this] { return stopping || !requests.empty(); });
      if (stopping) return;
      Request request = std::move(requests.front());
      requests.pop_front();
      busy = true;
      lock.unlock();
      uint32_t addr = 0;
      int error = NameResolver::Lookup(request.name, &addr);
      lock.lock();
      busy = false;
      if (stopping) return;
      results.push_back(Result{request.id, error, addr});
      uint64_t one = 1;
      // The eventfd counter cannot overflow at this rate; a failed write only delays.
      [[maybe_unused]] ssize_t written = write(eventFd, &one, sizeof one);
    }
  }
};

NameResolver::NameResolver(loop::EventLoop& loop, Completion completion)
    : loop_(loop), completion_(std::move(completion)), shared_(std::make_shared<Shared>()) {}

NameResolver::~NameResolver() {
  if (!workerStarted_) return;
  loop_.Unwatch(shared_->eventFd);
  std::unique_lock<std::mutex> lock(shared_->mutex);
  shared_->stopping = true;
  bool busy = shared_->busy;
  lock.unlock();
  shared_->wake.notify_all();
  // An idle worker leaves at once and is joined. One that is inside a lookup may
  // take as long as the resolver's timeout; it is left to finish on its own.
  if (busy) {
    worker_.detach();
  } else {
    worker_.join();
  }
}

void NameResolver::StartWorker() {
  shared_->eventFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (shared_->eventFd < 0) throw std::system_error(errno, std::generic_category(), "eventfd");
  try {
    worker_ = std::thread([shared = shared_] { shared->Work(); });
  } catch (...) {
    close(shared_->eventFd);
    shared_->eventFd = -1;
    throw;
  }
  loop_.Watch(shared_->eventFd, loop::EventLoop::kReadable, [this](uint32_t) { OnWakeUp(); });
  workerStarted_ = true;
}

int32_t NameResolver::Start(const std::string& name, int* error) {
  if (!workerStarted_) {
    try {
      StartWorker();
    } catch (const std::system_error& e) {
      if (error) *error = PlatformErrorFromErrno(e.code().value());
      return 0;
    }
  }
  int32_t id = nextRequest_;
  nextRequest_ = nextRequest_ == INT32_MAX ? 1 : nextRequest_ + 1;
  {
    std::lock_guard<std::mutex> lock(shared_->mutex);
    shared_->requests.push_back(Shared::Request{id, name});
  }
  shared_->wake.notify_one();
  outstanding_.insert(id);
  return id;
}

bool NameResolver::Cancel(int32_t request) { return outstanding_.erase(request) > 0; }

void NameResolver::OnWakeUp() {
  uint64_t count = 0;
  [[maybe_unused]] ssize_t got = read(shared_->eventFd, &count, sizeof count);
  std::deque<Shared::Result> ready;
  {
    std::lock_guard<std::mutex> lock(shared_->mutex);
    ready.swap(shared_->results);
  }
  for (const Shared::Result& result : ready) {
    // Cancelled requests are no longer outstanding: their results are dropped here.
    if (outstanding_.erase(result.id) == 0) continue;
    completion_(result.id, static_cast<uint16_t>(result.error), result.addr);
  }
}

namespace {

// Names under the reserved "invalid" top-level domain never exist; answering at once
// spares a query to the name servers that can only fail.
bool InReservedInvalidDomain(std::string name) {
  for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  if (!name.empty() && name.back() == '.') name.pop_back();
  const std::string tld = "invalid";
  if (name == tld) return true;
  return name.size() > tld.size() && name.compare(name.size() - tld.size(), tld.size(), tld) == 0 &&
         name[name.size() - tld.size() - 1] == '.';
}

}  // namespace

int NameResolver::Lookup(const std::string& name, uint32_t* addr) {
  if (InReservedInvalidDomain(name)) return kErrHostNotFound;
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* list = nullptr;
  errno = 0;
  int rc = getaddrinfo(name.c_str(), nullptr, &hints, &list);
  if (rc != 0) return PlatformErrorFromLookup(rc, errno);
  int error = 11004;  // a name with no IPv4 address
  for (addrinfo* ai = list; ai != nullptr; ai = ai->ai_next) {
    if (ai->ai_family == AF_INET && ai->ai_addr != nullptr) {
      *addr = reinterpret_cast<const sockaddr_in*>(ai->ai_addr)->sin_addr.s_addr;
      error = 0;
      break;
    }
  }
  freeaddrinfo(list);
  return error;
}

}  // namespace toruna::net
