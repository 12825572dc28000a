#include "testing/syscall_cost.h"

#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <vector>

namespace zoltest {

double syscall_us() {
  using Clock = std::chrono::steady_clock;
  constexpr int kBatches = 9;
  constexpr int kCalls = 20000;
  std::vector<double> batches;
  for (int b = 0; b < kBatches; ++b) {
    const auto t0 = Clock::now();
    // getppid is never answered from a cache in the C library: each one enters the kernel.
    for (int i = 0; i < kCalls; ++i) syscall(SYS_getppid);
    batches.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count() /
                      kCalls);
  }
  std::sort(batches.begin(), batches.end());
  return batches[batches.size() / 2];
}

}  // namespace zoltest
