#pragma once
// What the generator reads about the server's process and its own from /proc:
// resident memory, CPU time, open descriptors. Every reader returns -1 when
// the figure cannot be read (the process is gone, the kernel lacks it).

#include <sys/types.h>

namespace loadgen {

double Now();  // monotonic seconds

long ReadRssKb(pid_t pid);  // VmRSS
long ReadPeakRssKb(pid_t pid);  // VmHWM: the most resident since start or ResetPeakRss
// Starts VmHWM afresh at the current resident size; false when not allowed.
bool ResetPeakRss(pid_t pid);
// CPU time of all the process's threads, in seconds: the scheduler's nanosecond
// counts where the kernel keeps them, else user plus system time in clock ticks.
// `runs` (when given) gets how often its threads were put on a CPU, -1 unknown.
double ReadCpuSeconds(pid_t pid, long long* runs = nullptr);
double SelfCpuSeconds();  // the generator's own, user plus system
long CountOpenFds(pid_t pid);
// TcpExt ListenDrops of this network namespace.
long ReadListenDrops();

// CPU a process used over an interval, with the interval's wall time.
class CpuMeter {
 public:
  explicit CpuMeter(pid_t pid) : pid_(pid) {}
  void Start();
  // Since Start: the server's CPU seconds (-1 unknown), the generator's, and the wall time.
  struct Reading {
    double cpuS = -1, selfCpuS = 0, wallS = 0;
    long long runs = -1;  // times the server's threads were put on a CPU: its wake-ups
    double Cores() const { return cpuS >= 0 && wallS > 0 ? cpuS / wallS : -1; }
  };
  Reading Read() const;

 private:
  pid_t pid_;
  double cpu0_ = -1, self0_ = 0, wall0_ = 0;
  long long runs0_ = -1;
};

}  // namespace loadgen
