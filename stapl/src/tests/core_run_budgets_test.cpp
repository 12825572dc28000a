// What ends a run from outside its program: the memory budget over everything a run holds,
// the time budget, the host's stop request, and the record of which of them ended the run.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <thread>
#include <vector>

#include "stapl/src/jbiexprt.h"
#include "stapl/src/jbijtag.h"
#include "stapl/src/jbiopcodes.h"
#include "stapl/src/jbistub.h"
#include "stapl/src/tests/core_run.h"
#include "stapl/src/tests/support/bytecode_builder.h"
#include "stapl/src/tests/support/test_port.h"

namespace {

using playertest::bytecode::Builder;
using playertest::run::run;
using Clock = std::chrono::steady_clock;

// Every test leaves the player's globals as the others expect them.
class RunBudgets : public ::testing::Test {
 protected:
  void SetUp() override {
    jbi_clear_stop();
    jbi_malloc_peak_bytes = jbi_malloc_live_bytes;
  }
  void TearDown() override {
    jbi_clear_stop();
    jbi_memory_budget = JBI_DEFAULT_MEMORY_BUDGET;
    jbi_time_limit = 0;
    jbi_instruction_limit = 0;
    jbi_tck_limit = 0;
    EXPECT_EQ(jbi_malloc_live_bytes, 0ul) << "the run left player memory behind";
  }
};

// A format 2 program of one action "main" whose only procedure is the code built so far.
std::vector<uint8_t> as_main(Builder &b) {
  b.procedure("P", 0, 0, 0);
  b.action("main", 0);
  return b.build();
}

// ---- memory ----

// Four padding instructions of 2^31 - 1 ones each asked for 1 GiB between them. The default
// budget refuses the first or the second (whether the first fits depends on what else the run
// holds) before allocating it.
TEST_F(RunBudgets, PaddingOfOnesStopsAtTheDefaultBudget) {
  Builder b(2);
  for (uint8_t op : {OP_DR_PREAMBLE, OP_DR_POSTAMBLE, OP_IR_PREAMBLE, OP_IR_POSTAMBLE}) {
    b.push({0x7FFFFFFF});
    b.op(op);
  }
  b.push({0});
  b.op(OP_EXIT);
  const auto o = run(as_main(b));
  EXPECT_EQ(o.result, JBI_RC_OUT_OF_MEMORY);
  EXPECT_TRUE(o.error_address == 5 || o.error_address == 11) << o.error_address;
  EXPECT_EQ(jbi_run_end_cause(), JBI_END_MEMORY);
  EXPECT_LE(jbi_malloc_peak_bytes, JBI_DEFAULT_MEMORY_BUDGET);
  EXPECT_EQ(o.live_blocks, 0);
}

// Twelve Boolean arrays of 2^30 elements (128 MiB each) are refused at start-up, before the
// first instruction, and the arrays already made are released.
TEST_F(RunBudgets, DeclaredArraysStopAtTheDefaultBudget) {
  Builder b(2);
  for (int i = 0; i < 12; ++i) b.bool_array("A" + std::to_string(i), 1 << 30);
  b.push({0});
  b.op(OP_EXIT);
  const auto o = run(as_main(b));
  EXPECT_EQ(o.result, JBI_RC_OUT_OF_MEMORY);
  EXPECT_EQ(o.error_address, playertest::run::kUnwrittenAddress);
  EXPECT_EQ(jbi_run_end_cause(), JBI_END_MEMORY);
  EXPECT_LE(jbi_malloc_peak_bytes, JBI_DEFAULT_MEMORY_BUDGET);
  EXPECT_EQ(o.live_blocks, 0);
}

// The scan buffer counts with the padding: each fits the budget alone, both together do not.
TEST_F(RunBudgets, ScanBufferCountsWithThePadding) {
  Builder b(2);
  const uint32_t data = b.bool_array("D", 8);
  b.push({40 * 1024 * 8});  // 40 KiB of ones
  b.op(OP_DR_PREAMBLE);
  b.push({8, 7, 0});  // DR scan of D[0..7] after the padding: a buffer of 40 KiB more
  const uint32_t scan = b.op(OP_DRSCAN_ARRAY, data);
  b.push({0});
  b.op(OP_EXIT);
  const auto image = as_main(b);

  jbi_memory_budget = 64ul << 10;
  const auto refused = run(image);
  EXPECT_EQ(refused.result, JBI_RC_OUT_OF_MEMORY);
  EXPECT_EQ(refused.error_address, scan);
  EXPECT_EQ(jbi_run_end_cause(), JBI_END_MEMORY);
  EXPECT_LE(jbi_malloc_peak_bytes, 64ul << 10);
  EXPECT_EQ(refused.live_blocks, 0);

  jbi_memory_budget = 128ul << 10;
  const auto enough = run(image);
  EXPECT_EQ(enough.result, 0);
  EXPECT_EQ(jbi_run_end_cause(), JBI_END_NONE);
}

// ---- time ----

TEST_F(RunBudgets, EndlessLoopEndsAtTheTimeBudget) {
  Builder b(2);
  const uint32_t spin = b.op(OP_JUMP, 0);
  jbi_time_limit = 1;
  const auto start = Clock::now();
  const auto o = run(as_main(b));
  const auto took = Clock::now() - start;
  EXPECT_EQ(o.result, JBI_RC_CANCELLED);
  EXPECT_EQ(o.error_address, spin);
  EXPECT_EQ(jbi_run_end_cause(), JBI_END_TIME);
  EXPECT_GE(took, std::chrono::seconds(1));
  EXPECT_LT(took, std::chrono::seconds(3));
}

// ---- stop request ----

// A request set before the run refuses it before anything is allocated or clocked, and stays
// set for the next run until the host clears it.
TEST_F(RunBudgets, StopAskedBeforeTheRunRefusesItUntilCleared) {
  Builder b(2);
  b.push({5});
  b.op(OP_EXIT);
  const auto image = as_main(b);
  jbi_request_stop();
  EXPECT_TRUE(jbi_stop_requested());
  for (int attempt = 0; attempt < 2; ++attempt) {
    jbi_malloc_peak_bytes = 0;
    const auto o = run(image);
    EXPECT_EQ(o.result, JBI_RC_CANCELLED);
    EXPECT_EQ(jbi_run_end_cause(), JBI_END_STOP);
    EXPECT_EQ(jbi_malloc_peak_bytes, 0ul);
    EXPECT_TRUE(playertest::port::trace().empty());
  }
  jbi_clear_stop();
  const auto o = run(image);
  EXPECT_EQ(o.result, 0);
  EXPECT_EQ(o.exit_code, 5);
  EXPECT_EQ(jbi_run_end_cause(), JBI_END_NONE);
}

// Another thread stops an endless loop: the run ends at the looping instruction, promptly.
// The time budget only keeps a broken stop from hanging the test.
TEST_F(RunBudgets, StopFromAnotherThreadEndsALoopingRun) {
  Builder b(2);
  const uint32_t spin = b.op(OP_JUMP, 0);
  const auto image = as_main(b);
  jbi_time_limit = 20;
  std::atomic<bool> asked{false};
  Clock::time_point asked_at;
  std::thread stopper([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    asked_at = Clock::now();
    asked = true;
    jbi_request_stop();
  });
  const auto o = run(image);
  const auto ended_at = Clock::now();
  stopper.join();
  ASSERT_TRUE(asked);
  EXPECT_EQ(o.result, JBI_RC_CANCELLED);
  EXPECT_EQ(jbi_run_end_cause(), JBI_END_STOP);
  EXPECT_EQ(o.error_address, spin);
  EXPECT_LT(ended_at - asked_at, std::chrono::milliseconds(100));
}

// Inside one long scan the engine looks for a stop every few thousand cycles, so a stop ends
// the scan part way, and the end of the run resets the TAP from the Shift state it is in.
TEST_F(RunBudgets, StopEndsALongScanPartWay) {
  constexpr unsigned kBits = 1u << 20;
  std::vector<uint8_t> ones(kBits / 8, 0xFF);
  playertest::port::reset();
  jbi_init_jtag();
  jbi_request_stop();
  EXPECT_EQ(jbi_do_drscan(kBits, ones.data(), 0), JBI_RC_CANCELLED);
  const size_t clocked = playertest::port::trace().size();
  EXPECT_GT(clocked, 0u);
  EXPECT_LT(clocked, size_t{kBits / 16});
  EXPECT_EQ(jbi_jtag_state, DRSHIFT);
  jbi_free_jtag_padding_buffers(1);
  EXPECT_EQ(playertest::port::chain().state, lbsim::kTapIdle);
  jbi_clear_stop();

  // Long waits in cycles and in microseconds stop the same way.
  playertest::port::reset();
  jbi_init_jtag();
  jbi_request_stop();
  EXPECT_EQ(jbi_do_wait_cycles(1 << 24, IDLE), JBI_RC_CANCELLED);
  EXPECT_LT(playertest::port::trace().size(), size_t{1} << 16);
  EXPECT_EQ(jbi_do_wait_microseconds(INT32_MAX, IDLE), JBI_RC_CANCELLED);
  EXPECT_LE(playertest::port::delay_total_us(), 100000) << "a stop ends a half-hour wait";
  jbi_free_jtag_padding_buffers(0);
}

// ---- the record of the cause ----

TEST_F(RunBudgets, EndCauseNamesTheBudgetAndIsClearedByTheNextRun) {
  Builder b(2);
  b.push({0, 0, 0, 1 << 20});  // two values a wait drops, 0 microseconds, 2^20 cycles
  b.op(OP_WAIT, IDLE, IDLE);
  b.push({0});
  b.op(OP_EXIT);
  const auto image = as_main(b);
  jbi_tck_limit = 1000;
  EXPECT_EQ(run(image).result, JBI_RC_CANCELLED);
  EXPECT_EQ(jbi_run_end_cause(), JBI_END_TCK);
  jbi_tck_limit = 0;
  jbi_instruction_limit = 2;
  EXPECT_EQ(run(image).result, JBI_RC_CANCELLED);
  EXPECT_EQ(jbi_run_end_cause(), JBI_END_INSTRUCTIONS);
  jbi_instruction_limit = 0;
  EXPECT_EQ(run(image).result, 0);
  EXPECT_EQ(jbi_run_end_cause(), JBI_END_NONE);
}

}  // namespace
