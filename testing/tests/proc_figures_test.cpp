// What the benchmarks read of a process in /proc: the wake-ups and the CPU time its threads
// cost.
#include "testing/proc_figures.h"

#include <gtest/gtest.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "testing/process.h"

namespace zoltest {
namespace {

// The sleeps are another thread's: a count of the main thread alone would miss them. The main
// thread spins meanwhile, so it adds none of its own.
// A sleep is also a switch, so the switches count at least as many.
TEST(ProcFigures, ThreadSleepsAndSwitchesCountEveryThreadAndNothingOfAGoneProcess) {
  const long before = thread_sleeps(getpid());
  const long switches_before = thread_switches(getpid());
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
  const long switches_after = thread_switches(getpid());
  release = true;
  sleeper.join();
  ASSERT_TRUE(slept);
  EXPECT_GE(after - before, 20);
  EXPECT_GE(switches_after - switches_before, 20);

  Process gone({"/bin/true"});
  const pid_t pid = gone.pid();
  ASSERT_TRUE(gone.wait_exit(std::chrono::seconds(10)).has_value());
  EXPECT_EQ(thread_sleeps(pid), 0);
  EXPECT_EQ(thread_switches(pid), 0);
}

// Another thread burns 50 ms of its own CPU time (however long the machine makes that take)
// and stays: the sum over the living threads must hold all of it. A thread that has ended is
// gone from /proc/PID/task, so the benchmarks read around batches while their threads live.
TEST(ProcFigures, ThreadCpuTimeSumsTheRunTimeOfEveryThreadAndNothingOfAGoneProcess) {
  constexpr long long kBurnNs = 50'000'000;
  const long long before = thread_cpu_ns(getpid());
  std::atomic<bool> burnt{false}, release{false};
  std::thread burner([&] {
    auto own_ns = [] {
      timespec t{};
      clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
      return static_cast<long long>(t.tv_sec) * 1'000'000'000 + t.tv_nsec;
    };
    const long long start = own_ns();
    while (own_ns() - start < kBurnNs) {
    }
    burnt = true;
    while (!release) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  });
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (!burnt && std::chrono::steady_clock::now() < end)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  const long long after = thread_cpu_ns(getpid());
  release = true;
  burner.join();
  ASSERT_TRUE(burnt);
  EXPECT_GE(after - before, kBurnNs);

  Process gone({"/bin/true"});
  const pid_t pid = gone.pid();
  ASSERT_TRUE(gone.wait_exit(std::chrono::seconds(10)).has_value());
  EXPECT_EQ(thread_cpu_ns(pid), 0);
}

}  // namespace
}  // namespace zoltest
