// Stopping the library's calls for good: the routine that runs goes on to its end, nothing
// starts after it, whatever was waiting for the dispatch thread.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "platform/dim/dim.h"
#include "platform/dim/dim_extra.h"
#include "testing/name_server.h"
#include "testing/process.h"

namespace {

using zoltest::wait_for;

std::atomic<int> g_started{0};
std::atomic<int> g_finished{0};
std::atomic<bool> g_release{false};
std::atomic<int> g_timer_runs{0};
std::atomic<int> g_routine_runs{0};
int g_service = 0;

// The first call holds the dispatch thread until released, as a long download does; it
// publishes on its way out, as every handler does.
void held_command(long *, void *, int *) {
  if (++g_started == 1) {
    while (!g_release) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  dis_update_service_(g_service);
  ++g_finished;
}
void counting_routine(long *, void **address, int *size) {
  static uint32_t value = 7;
  ++g_routine_runs;
  *address = &value;
  *size = 4;
}
void counting_timer(long) { ++g_timer_runs; }

TEST(DimStop, RunningHandlerEndsAndNothingStartsAfterIt) {
  zoltest::NameServerProcess dns;
  ASSERT_GT(dns.port(), 0);
  dns.use();
  ASSERT_NE(dis_add_cmnd_("/STOP/A/CMD", "L", held_command, 0), 0u);
  g_service = dis_add_service_("/STOP/A/SVC", "L", nullptr, 0, counting_routine, 0);
  ASSERT_EQ(dis_start_serving_("/STOP/A/SERVER"), 1);

  uint32_t w = 1;
  ASSERT_EQ(dic_cmnd_service_("/STOP/A/CMD", &w, 4), 1);
  ASSERT_TRUE(wait_for([] { return g_started == 1; }));
  // Queued behind the running handler: more commands, a timer, a new subscriber's routine.
  for (int i = 0; i < 20; ++i) dic_cmnd_service_("/STOP/A/CMD", &w, 4);
  dtq_start_timer(1, counting_timer, 3);
  dic_info_service_(
      "/STOP/A/SVC", MONITORED, 0, nullptr, 0, [](long *, void *, int *) {}, 0, nullptr, 0);
  std::this_thread::sleep_for(std::chrono::milliseconds(200));

  EXPECT_FALSE(dim::stop_dispatch(50)) << "returned while the handler still ran";
  const int routine_runs_before = g_routine_runs;
  g_release = true;
  EXPECT_TRUE(dim::stop_dispatch(5000));
  // The running handler finished, with its own publication.
  EXPECT_EQ(g_finished, 1);
  EXPECT_EQ(g_routine_runs, routine_runs_before + 1);
  EXPECT_TRUE(dim::stop_dispatch(0)) << "a second stop waits for nothing";

  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  EXPECT_EQ(g_started, 1);
  EXPECT_EQ(g_timer_runs, 0);
  EXPECT_EQ(g_routine_runs, routine_runs_before + 1);
  dim::shutdown();
}

}  // namespace
