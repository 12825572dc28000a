// Where a benchmark's processes run. On a machine of few cores a loopback round trip costs
// twice as much when the two sides sit on different cores (a wake-up crosses CPUs) as when
// they share one, and the scheduler picks either from run to run. Two figures compared with
// each other are taken with the same placement.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace zoltest {

// The CPUs this process may run on, in order.
std::vector<int> allowed_cpus();

// Puts every thread of the process on the given CPU, or back on `cpus` when cpu is -1.
// Threads it starts later inherit the placement of the thread that starts them. False when
// the process is gone or the CPU is not allowed.
bool place_process(pid_t pid, int cpu, const std::vector<int> &cpus);

// A placement of a station and the process that answers it.
struct Placement {
  std::string name;
  int station_cpu = -1;
  int answerer_cpu = -1;
};

// "own_cores": station on the first allowed CPU, answerer on the second, as a station and a
// board on two machines are; "one_core": both on the first. Only "one_core" on a machine of
// one CPU.
std::vector<Placement> placements();

// For its lifetime, this process (the station) and the processes that answer it run where the
// placement says; afterwards they may run on every allowed CPU again.
class Placed {
 public:
  Placed(const Placement &where, std::vector<pid_t> answerers);
  Placed(const Placed &) = delete;
  Placed &operator=(const Placed &) = delete;
  ~Placed();

 private:
  std::vector<int> cpus_;
  std::vector<pid_t> answerers_;
};

}  // namespace zoltest
