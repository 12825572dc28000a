#include "testing/cpu_placement.h"

#include <dirent.h>
#include <sched.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <utility>

namespace zoltest {

std::vector<int> allowed_cpus() {
  cpu_set_t set;
  CPU_ZERO(&set);
  std::vector<int> cpus;
  if (sched_getaffinity(0, sizeof set, &set) != 0) return cpus;
  for (int c = 0; c < CPU_SETSIZE; ++c)
    if (CPU_ISSET(c, &set)) cpus.push_back(c);
  return cpus;
}

bool place_process(pid_t pid, int cpu, const std::vector<int> &cpus) {
  cpu_set_t set;
  CPU_ZERO(&set);
  if (cpu >= 0) {
    if (cpu >= CPU_SETSIZE) return false;
    CPU_SET(cpu, &set);
  } else {
    for (int c : cpus)
      if (c < CPU_SETSIZE) CPU_SET(c, &set);
  }
  const std::string dir = "/proc/" + std::to_string(pid) + "/task";
  DIR *d = opendir(dir.c_str());
  if (!d) return false;
  bool all = true;
  while (const dirent *e = readdir(d)) {
    if (e->d_name[0] == '.') continue;
    const pid_t tid = static_cast<pid_t>(std::atoi(e->d_name));
    // A thread that ended since the listing is no failure.
    if (sched_setaffinity(tid, sizeof set, &set) != 0 && errno != ESRCH) all = false;
  }
  closedir(d);
  return all;
}

std::vector<Placement> placements() {
  const std::vector<int> cpus = allowed_cpus();
  std::vector<Placement> out;
  if (cpus.size() >= 2) out.push_back({"own_cores", cpus[0], cpus[1]});
  if (!cpus.empty()) out.push_back({"one_core", cpus[0], cpus[0]});
  return out;
}

Placed::Placed(const Placement &where, std::vector<pid_t> answerers)
    : cpus_(allowed_cpus()), answerers_(std::move(answerers)) {
  place_process(getpid(), where.station_cpu, cpus_);
  for (pid_t a : answerers_) place_process(a, where.answerer_cpu, cpus_);
}

Placed::~Placed() {
  place_process(getpid(), -1, cpus_);
  for (pid_t a : answerers_) place_process(a, -1, cpus_);
}

}  // namespace zoltest
