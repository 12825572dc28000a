#include "testing/proc_figures.h"

#include <dirent.h>
#include <unistd.h>

#include <fstream>
#include <initializer_list>
#include <iterator>
#include <sstream>
#include <string_view>

namespace zoltest {

long status_kib(pid_t pid, const std::string &field) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  const std::string prefix = field + ":";
  while (std::getline(in, line))
    if (line.rfind(prefix, 0) == 0) return std::stol(line.substr(prefix.size()));
  return -1;
}

double cpu_seconds(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  // The command name in parentheses may hold spaces; the fields are counted after it.
  const auto close = text.rfind(')');
  if (close == std::string::npos || close + 2 > text.size()) return 0;
  std::istringstream rest(text.substr(close + 2));
  std::string field;
  unsigned long long ticks = 0;
  for (int i = 3; i <= 15 && rest >> field; ++i)
    if (i == 14 || i == 15) ticks += std::stoull(field);
  return static_cast<double>(ticks) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

namespace {

// Calls `each` with the /proc directory of every thread of the process.
template <typename F>
void for_each_thread(pid_t pid, F each) {
  const std::string dir = "/proc/" + std::to_string(pid) + "/task";
  DIR *d = opendir(dir.c_str());
  if (!d) return;
  while (const dirent *e = readdir(d))
    if (e->d_name[0] != '.') each(dir + "/" + e->d_name);
  closedir(d);
}

// The sum over the threads of the status lines that start with one of `prefixes`.
long sum_of_thread_status(pid_t pid, std::initializer_list<std::string_view> prefixes) {
  long total = 0;
  for_each_thread(pid, [&](const std::string &task) {
    std::ifstream in(task + "/status");
    std::string line;
    while (std::getline(in, line))
      for (const std::string_view prefix : prefixes)
        if (line.starts_with(prefix)) total += std::stol(line.substr(prefix.size()));
  });
  return total;
}

}  // namespace

long thread_sleeps(pid_t pid) { return sum_of_thread_status(pid, {"voluntary_ctxt_switches:"}); }

long this_thread_sleeps() {
  std::ifstream in("/proc/thread-self/status");
  std::string line;
  constexpr std::string_view prefix = "voluntary_ctxt_switches:";
  while (std::getline(in, line))
    if (line.starts_with(prefix)) return std::stol(line.substr(prefix.size()));
  return 0;
}

long thread_switches(pid_t pid) {
  return sum_of_thread_status(pid, {"voluntary_ctxt_switches:", "nonvoluntary_ctxt_switches:"});
}

long long thread_cpu_ns(pid_t pid) {
  long long total = 0;
  for_each_thread(pid, [&](const std::string &task) {
    std::ifstream in(task + "/schedstat");
    long long ns = 0;
    if (in >> ns) total += ns;
  });
  return total;
}

}  // namespace zoltest
