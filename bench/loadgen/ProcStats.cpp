#include "ProcStats.h"

#include <dirent.h>
#include <sys/resource.h>
#include <time.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>

namespace loadgen {
namespace {

std::string ProcPath(pid_t pid, const char* rest) { return "/proc/" + std::to_string(pid) + rest; }

long StatusKb(pid_t pid, const std::string& field) {
  std::ifstream in(ProcPath(pid, "/status"));
  std::string key;
  while (in >> key) {
    if (key == field) {
      long kb = -1;
      in >> kb;
      return kb;
    }
    in.ignore(1 << 12, '\n');
  }
  return -1;
}

// Sum over /proc/PID/task/*/schedstat (first field: nanoseconds on a CPU).
// Threads that ended are missing from it; the servers here keep theirs.
// The third field counts the times a thread was put on a CPU.
double SchedstatSeconds(pid_t pid, long long& runs) {
  DIR* dir = opendir(ProcPath(pid, "/task").c_str());
  if (!dir) return -1;
  double total = 0;
  bool any = false;
  runs = 0;
  while (dirent* e = readdir(dir)) {
    if (e->d_name[0] == '.') continue;
    std::ifstream in(ProcPath(pid, "/task/") + e->d_name + "/schedstat");
    unsigned long long ns = 0, waitNs = 0, count = 0;
    if (in >> ns >> waitNs >> count) {
      total += static_cast<double>(ns) * 1e-9;
      runs += static_cast<long long>(count);
      any = true;
    }
  }
  closedir(dir);
  return any ? total : -1;
}

double StatSeconds(pid_t pid) {
  std::ifstream in(ProcPath(pid, "/stat"));
  std::string line;
  if (!std::getline(in, line)) return -1;
  // The command name may hold blanks; the fields after it are counted from ')'.
  const size_t close = line.rfind(')');
  if (close == std::string::npos) return -1;
  std::istringstream rest(line.substr(close + 2));
  std::string field;
  unsigned long long utime = 0, stime = 0;
  for (int i = 3; i <= 15 && rest >> field; ++i) {
    if (i == 14) utime = std::stoull(field);
    if (i == 15) stime = std::stoull(field);
  }
  return static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

}  // namespace

double Now() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

long ReadRssKb(pid_t pid) { return StatusKb(pid, "VmRSS:"); }

long ReadPeakRssKb(pid_t pid) { return StatusKb(pid, "VmHWM:"); }

bool ResetPeakRss(pid_t pid) {
  std::ofstream out(ProcPath(pid, "/clear_refs"));
  out << "5\n";
  out.flush();
  return static_cast<bool>(out);
}

double ReadCpuSeconds(pid_t pid, long long* runs) {
  long long count = -1;
  double s = SchedstatSeconds(pid, count);
  if (s < 0) {
    count = -1;
    s = StatSeconds(pid);
  }
  if (runs) *runs = count;
  return s;
}

double SelfCpuSeconds() {
  rusage ru{};
  getrusage(RUSAGE_SELF, &ru);
  auto sec = [](const timeval& tv) { return double(tv.tv_sec) + double(tv.tv_usec) * 1e-6; };
  return sec(ru.ru_utime) + sec(ru.ru_stime);
}

long CountOpenFds(pid_t pid) {
  DIR* dir = opendir(ProcPath(pid, "/fd").c_str());
  if (!dir) return -1;
  long n = 0;
  while (dirent* e = readdir(dir))
    if (e->d_name[0] != '.') ++n;
  closedir(dir);
  return n;
}

long ReadListenDrops() {
  // Two lines per group: the field names, then the values.
  std::ifstream in("/proc/net/netstat");
  std::string names, values;
  while (std::getline(in, names) && std::getline(in, values)) {
    if (names.rfind("TcpExt:", 0) != 0) continue;
    std::istringstream n(names), v(values);
    std::string name, value;
    while (n >> name && v >> value)
      if (name == "ListenDrops") return std::stol(value);
  }
  return -1;
}

void CpuMeter::Start() {
  cpu0_ = pid_ > 0 ? ReadCpuSeconds(pid_, &runs0_) : -1;
  self0_ = SelfCpuSeconds();
  wall0_ = Now();
}

CpuMeter::Reading CpuMeter::Read() const {
  Reading r;
  r.wallS = Now() - wall0_;
  r.selfCpuS = SelfCpuSeconds() - self0_;
  long long runs1 = -1;
  const double cpu1 = pid_ > 0 ? ReadCpuSeconds(pid_, &runs1) : -1;
  if (cpu0_ >= 0 && cpu1 >= 0) r.cpuS = cpu1 - cpu0_;
  if (runs0_ >= 0 && runs1 >= 0) r.runs = runs1 - runs0_;
  return r;
}

}  // namespace loadgen
