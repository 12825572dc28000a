// A thread that waits for its answer with dim::wait_until does the dispatch work itself while
// it waits. What that must not break: routines still run one at a time, whichever thread runs
// them; answers meant for another waiter and updates nobody waits for still reach their
// callbacks; timers and time limits still fire; a server lost during the wait still ends it
// with the fill data, as before.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "platform/dim/dim.h"
#include "platform/dim/dim_extra.h"
#include "testing/name_server.h"
#include "testing/proc_figures.h"
#include "testing/process.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

class CallerWait : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_GT(dns_.port(), 0);
    dns_.use();
  }
  void TearDown() override { dim::shutdown(); }

  zoltest::NameServerProcess dns_;
};

// ---- one at a time ----

// Every routine of this process enters here; two inside at once is an overlap. The short
// sleep widens the window a second runner would have to slip into.
std::atomic<int> g_inside{0};
std::atomic<int> g_overlaps{0};
std::atomic<int> g_calls{0};
std::mutex g_runners_mutex;
std::set<std::thread::id> g_runners;
void enter() {
  if (g_inside.fetch_add(1) != 0) ++g_overlaps;
  {
    std::lock_guard lock(g_runners_mutex);
    g_runners.insert(std::this_thread::get_id());
  }
  std::this_thread::sleep_for(50us);
  ++g_calls;
  g_inside.fetch_sub(1);
}

// The in-process server numbers the commands it handles and publishes the number; updates
// that find a connection busy are merged into the newest, so a waiter looks for a number at
// least as new as its own command's.
int g_echo_service = 0;
uint32_t g_handled = 0;  // written and read by routines only
std::atomic<uint32_t> g_number_of[4096];
void echo_command(long *, void *data, int *size) {
  enter();
  uint32_t v = 0;
  if (*size == 4) std::memcpy(&v, data, 4);
  g_number_of[v % 4096] = ++g_handled;
  dis_update_service_(g_echo_service);
}
void echo_routine(long *, void **address, int *size) {
  enter();
  *address = &g_handled;
  *size = 4;
}
std::atomic<uint32_t> g_echo_seen[8];
void echo_callback(long *tag, void *data, int *size) {
  enter();
  uint32_t v = 0;
  if (*size == 4) std::memcpy(&v, data, 4);
  g_echo_seen[*tag] = v;
}
std::atomic<int> g_ticks{0};
void ticking_timer(long tag) {
  enter();
  if (++g_ticks < 3) dtq_start_timer(1, ticking_timer, tag);
}

TEST_F(CallerWait, RoutinesNeverOverlapWhileSeveralThreadsWaitAndSomeRunThem) {
  g_echo_service = dis_add_service_("/WAIT/A/SVC", "L", nullptr, 0, echo_routine, 0);
  ASSERT_NE(dis_add_cmnd_("/WAIT/A/CMD", "L", echo_command, 0), 0u);
  ASSERT_EQ(dis_start_serving_("/WAIT/A/SERVER"), 1);
  constexpr int kWaiters = 3;
  for (long t = 0; t < kWaiters; ++t) {
    g_echo_seen[t] = 0;
    dic_info_service_("/WAIT/A/SVC", MONITORED, 0, nullptr, 0, echo_callback, t, nullptr, 0);
  }
  dtq_start_timer(1, ticking_timer, 1);
  // Each waiter sends its own values and waits until its own subscription has the answer;
  // every subscription gets every answer, so a waiter also runs the others' callbacks.
  std::atomic<int> answered{0};
  std::vector<std::thread> waiters;
  for (uint32_t w = 0; w < kWaiters; ++w)
    waiters.emplace_back([w, &answered] {
      for (uint32_t i = 1; i <= 40; ++i) {
        uint32_t v = (w + 1) * 1000 + i;
        g_number_of[v % 4096] = 0;
        dic_cmnd_service_("/WAIT/A/CMD", &v, 4);
        if (dim::wait_until(
                [&] {
                  const uint32_t n = g_number_of[v % 4096];
                  return n != 0 && g_echo_seen[w] >= n;
                },
                5000))
          ++answered;
      }
    });
  for (auto &t : waiters) t.join();
  EXPECT_EQ(answered, kWaiters * 40);
  // The timer went on firing while the waiters held the dispatch work.
  EXPECT_TRUE(dim::wait_until([] { return g_ticks >= 3; }, 5000)) << g_ticks;
  EXPECT_EQ(g_overlaps, 0);
  // Some routine ran on a waiting thread, not only on the library's own.
  std::lock_guard lock(g_runners_mutex);
  EXPECT_GT(g_runners.size(), 1u);
}

// ---- who reads the answers ----

std::atomic<uint32_t> g_loop_last{0};
std::atomic<std::thread::id> g_loop_runner{};
void note_loop_answer(long *, void *data, int *size) {
  uint32_t v = 0;
  if (*size == 4) std::memcpy(&v, data, 4);
  g_loop_runner = std::this_thread::get_id();
  g_loop_last = v;
}

// On one CPU the answering process takes the CPU from a sender between its send and its wait,
// and the library's own thread has taken the answer by the time the sender waits. The short
// sleep between them makes that happen on any machine. A loop of such reads must not leave
// every answer to the library's thread (which then wakes the sender, two more thread switches
// a read): after the first few, the sender's wait takes the turn and reads its own answers.
TEST_F(CallerWait, ASenderHeldUpBeforeItsWaitReadsItsOwnAnswersAfterTheFirstFew) {
  zoltest::Process peer({zoltest::test_bin("dim_echo_peer"), "/WAIT/LOOP/SERVER", "/WAIT/LOOP/SVC",
                         "/WAIT/LOOP/CMD"});
  ASSERT_EQ(peer.line(), "ready");
  dic_info_service_("/WAIT/LOOP/SVC", MONITORED, 0, nullptr, 0, note_loop_answer, 0, nullptr, 0);
  uint32_t first = 1000;  // the command's address is looked up once
  dic_cmnd_service_("/WAIT/LOOP/CMD", &first, 4);
  ASSERT_TRUE(dim::wait_until([&] { return g_loop_last == first; }, 5000));
  std::this_thread::sleep_for(20ms);  // the library's thread takes the turn back
  const auto me = std::this_thread::get_id();
  constexpr uint32_t kReads = 60;
  int mine = 0;
  for (uint32_t v = 1; v <= kReads; ++v) {
    dic_cmnd_service_("/WAIT/LOOP/CMD", &v, 4);
    std::this_thread::sleep_for(200us);
    ASSERT_TRUE(dim::wait_until([&] { return g_loop_last == v; }, 5000)) << v;
    if (g_loop_runner.load() == me) ++mine;
  }
  // Typically all but the first three; a slow moment of the machine (a millisecond between two
  // reads) hands the turn back to the library's thread for another three.
  EXPECT_GE(mine, static_cast<int>(kReads) / 2);
}

// The library's thread sleeps while a sender holds the turn. Were the connection's receive
// still the one that thread left standing in the ring, every answer would wake it first (the
// kernel does a request's work on the thread that submitted it): on one CPU two thread
// switches more a read. The sender's first answer moves the receive over to the sender.
TEST_F(CallerWait, ASendersAnswersDoNotWakeTheLibrarysThread) {
  zoltest::Process peer(
      {zoltest::test_bin("dim_echo_peer"), "/WAIT/OWN/SERVER", "/WAIT/OWN/SVC", "/WAIT/OWN/CMD"});
  ASSERT_EQ(peer.line(), "ready");
  dic_info_service_("/WAIT/OWN/SVC", MONITORED, 0, nullptr, 0, note_loop_answer, 0, nullptr, 0);
  uint32_t first = 1000;
  dic_cmnd_service_("/WAIT/OWN/CMD", &first, 4);
  ASSERT_TRUE(dim::wait_until([&] { return g_loop_last == first; }, 5000));
  // The library's thread takes the turn back and reads an answer nobody waits for: the
  // receive is its own now.
  std::this_thread::sleep_for(20ms);
  uint32_t unwaited = 2000;
  dic_cmnd_service_("/WAIT/OWN/CMD", &unwaited, 4);
  const auto until = Clock::now() + 5s;
  while (g_loop_last != unwaited && Clock::now() < until) std::this_thread::sleep_for(1ms);
  ASSERT_EQ(g_loop_last, unwaited);
  std::this_thread::sleep_for(5ms);

  constexpr uint32_t kReads = 200;
  const auto t0 = Clock::now();
  const long all_before = zoltest::thread_sleeps(getpid());
  const long mine_before = zoltest::this_thread_sleeps();
  for (uint32_t v = 1; v <= kReads; ++v) {
    dic_cmnd_service_("/WAIT/OWN/CMD", &v, 4);
    ASSERT_TRUE(dim::wait_until([&] { return g_loop_last == v; }, 5000)) << v;
  }
  const long others =
      zoltest::thread_sleeps(getpid()) - all_before - (zoltest::this_thread_sleeps() - mine_before);
  const long ms = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0).count();
  // Meanwhile the library's thread looks at the turn once a millisecond, a sleep each; woken by
  // the answers too, it would sleep once more a read.
  EXPECT_LT(others, ms + static_cast<long>(kReads) / 2) << ms << " ms";
}

// ---- deliveries to others ----

std::atomic<uint32_t> g_other_last{0};
void note_other(long *, void *data, int *size) {
  uint32_t v = 0;
  if (*size == 4) std::memcpy(&v, data, 4);
  g_other_last = v;
}

// Two servers in other processes; the slow one answers after 300 ms. While the main thread
// waits for the slow answer, another thread's answers and a subscription nobody waits for go
// on arriving, and each reaches its own callback.
TEST_F(CallerWait, AnswersForOthersAndUnwaitedUpdatesReachTheirCallbacksDuringAWait) {
  zoltest::Process slow({zoltest::test_bin("dim_echo_peer"), "/WAIT/SLOW/SERVER", "/WAIT/SLOW/SVC",
                         "/WAIT/SLOW/CMD", "300"});
  zoltest::Process fast({zoltest::test_bin("dim_echo_peer"), "/WAIT/FAST/SERVER", "/WAIT/FAST/SVC",
                         "/WAIT/FAST/CMD"});
  ASSERT_EQ(slow.line(), "ready");
  ASSERT_EQ(fast.line(), "ready");
  g_echo_seen[0] = 0;
  g_echo_seen[1] = 0;
  g_other_last = 0;
  dic_info_service_("/WAIT/SLOW/SVC", MONITORED, 0, nullptr, 0, echo_callback, 0, nullptr, 0);
  dic_info_service_("/WAIT/FAST/SVC", MONITORED, 0, nullptr, 0, echo_callback, 1, nullptr, 0);
  dic_info_service_("/WAIT/FAST/SVC", MONITORED, 0, nullptr, 0, note_other, 0, nullptr, 0);
  uint32_t warm = 1;
  dic_cmnd_service_("/WAIT/FAST/CMD", &warm, 4);
  ASSERT_TRUE(dim::wait_until([] { return g_echo_seen[1] == 1; }, 5000));

  std::atomic<bool> main_waiting{false};
  std::atomic<int> other_answers{0};
  std::thread other([&] {
    while (!main_waiting) std::this_thread::sleep_for(1ms);
    for (uint32_t v = 2; v <= 20; ++v) {
      dic_cmnd_service_("/WAIT/FAST/CMD", &v, 4);
      if (dim::wait_until([&] { return g_echo_seen[1] == v; }, 5000)) ++other_answers;
    }
  });
  uint32_t slow_value = 77;
  dic_cmnd_service_("/WAIT/SLOW/CMD", &slow_value, 4);
  main_waiting = true;
  EXPECT_TRUE(dim::wait_until([] { return g_echo_seen[0] == 77; }, 5000));
  other.join();
  EXPECT_EQ(other_answers, 19);
  EXPECT_TRUE(dim::wait_until([] { return g_other_last == 20; }, 5000)) << g_other_last;
  // With no waiter left, the library's own thread takes the dispatch work back.
  uint32_t last = 21;
  dic_cmnd_service_("/WAIT/FAST/CMD", &last, 4);
  EXPECT_TRUE(zoltest::wait_for([] { return g_other_last == 21; })) << g_other_last;
}

// ---- limits and losses ----

TEST_F(CallerWait, TimeLimitEndsAWaitThatNothingAnswers) {
  const auto t0 = Clock::now();
  EXPECT_FALSE(dim::wait_until([] { return false; }, 200));
  EXPECT_GE(Clock::now() - t0, 200ms);
  // A condition already true needs no waiting at all, whatever the limit.
  EXPECT_TRUE(dim::wait_until([] { return true; }, 0));
}

std::atomic<bool> g_got_fill{false};
std::atomic<int> g_real{0};
void fill_or_real(long *, void *, int *) {
  if (dim::delivering_fill())
    g_got_fill = true;
  else
    ++g_real;
}

// The server dies while its answer is awaited: the subscription gets the fill data on the
// waiting thread, and a wait that looks for it ends, as a station's did before.
TEST_F(CallerWait, ServerLostDuringAWaitEndsItWithTheFillData) {
  auto peer = std::make_unique<zoltest::Process>(
      std::vector<std::string>{zoltest::test_bin("dim_echo_peer"), "/WAIT/LOST/SERVER",
                               "/WAIT/LOST/SVC", "/WAIT/LOST/CMD", "2000"});
  ASSERT_EQ(peer->line(), "ready");
  g_got_fill = false;
  g_real = 0;
  char fill[8] = "No Link";
  dic_info_service_("/WAIT/LOST/SVC", MONITORED, 0, nullptr, 0, fill_or_real, 0, fill, sizeof fill);
  ASSERT_TRUE(dim::wait_until([] { return g_real >= 1; }, 5000));  // the current contents
  uint32_t v = 5;
  dic_cmnd_service_("/WAIT/LOST/CMD", &v, 4);  // answered only after 2 s
  std::thread killer([&] {
    std::this_thread::sleep_for(100ms);
    peer->kill_now();
  });
  EXPECT_TRUE(dim::wait_until([] { return g_got_fill.load() || g_real >= 2; }, 5000));
  killer.join();
  EXPECT_TRUE(g_got_fill);
  EXPECT_EQ(g_real, 1);
}

// ---- inside a callback ----

std::atomic<int> g_inner_result{-1};
void waits_inside(long *, void *, int *size) {
  if (*size != 4) return;
  // The next delivery could only come through this very thread: no waiting here.
  g_inner_result = dim::wait_until([] { return false; }, 600000) ? 1 : 0;
}

TEST_F(CallerWait, WaitInsideACallbackReturnsAtOnceInsteadOfHangingTheLibrary) {
  zoltest::Process peer(
      {zoltest::test_bin("dim_echo_peer"), "/WAIT/IN/SERVER", "/WAIT/IN/SVC", "/WAIT/IN/CMD"});
  ASSERT_EQ(peer.line(), "ready");
  g_inner_result = -1;
  dic_info_service_("/WAIT/IN/SVC", MONITORED, 0, nullptr, 0, waits_inside, 0, nullptr, 0);
  // Had the callback waited, it would still be waiting when this wait gives up.
  EXPECT_TRUE(dim::wait_until([] { return g_inner_result != -1; }, 5000));
  EXPECT_EQ(g_inner_result, 0);
}

}  // namespace
