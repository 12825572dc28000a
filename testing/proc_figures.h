// What /proc tells of a running process, for tests and benchmarks that bound a program's
// memory or CPU.
#pragma once

#include <sys/types.h>

#include <string>

namespace zoltest {

// A field of /proc/PID/status in KiB ("VmRSS", "VmHWM": the peak resident size); -1 if the
// process or the field is missing.
long status_kib(pid_t pid, const std::string &field);

// CPU time the process has used so far, user and system, in seconds; 0 if it is gone.
double cpu_seconds(pid_t pid);

// Times the threads of the process have gone to sleep so far (their voluntary context
// switches, summed): the count over a stretch of work is the wake-ups it cost. 0 if it is gone.
long thread_sleeps(pid_t pid);

// The same for the calling thread alone.
long this_thread_sleeps();

// Times the threads of the process have left a CPU so far, asleep or preempted (voluntary and
// involuntary context switches, summed). On one CPU a ping-pong between two processes cannot
// cost fewer than two a round trip, one on each side. 0 if it is gone.
long thread_switches(pid_t pid);

// Nanoseconds the threads of the process have run on a CPU so far, summed (the scheduler's
// own account, exact where the tick-based CPU times are not). 0 if it is gone.
long long thread_cpu_ns(pid_t pid);

}  // namespace zoltest
