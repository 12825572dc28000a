// What the benchmarks read of a process in /proc: the wake-ups its threads cost.
#include "testing/proc_figures.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "testing/process.h"

namespace zoltest {
namespace {

// The sleeps are another thread's: a count of the main thread alone would miss them. The main
// thread spins meanwhile, so it adds none of its own.
TEST(ProcFigures, ThreadSleepsCountTheSleepsOfEveryThreadAndNothingOfAGoneProcess) {
  const long before = thread_sleeps(getpid());
  std::atomic<bool> slept{false}, release{false};
  std::thread sleeper([&] {
    for (int i = 0; i < 20; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    slept = true;
    while (!release) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  });
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!slept && std::chrono::steady_clock::now() < end) {
  }
  const long after = thread_sleeps(getpid());
  release = true;
  sleeper.join();
  ASSERT_TRUE(slept);
  EXPECT_GE(after - before, 20);

  Process gone({"/bin/true"});
  const pid_t pid = gone.pid();
  ASSERT_TRUE(gone.wait_exit(std::chrono::seconds(10)).has_value());
  EXPECT_EQ(thread_sleeps(pid), 0);
}

}  // namespace
}  // namespace zoltest
