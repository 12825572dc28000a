// The scan engine against the TCK trace of the recording port.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "stapl/src/jbiexprt.h"
#include "stapl/src/jbijtag.h"
#include "stapl/src/jbistub.h"
#include "stapl/src/tests/support/test_port.h"

namespace {

using Levels = std::vector<int>;

// The IEEE 1149.1 diagram, written out independently of the engine's table.
int tap_next(int s, int tms) {
  switch (s) {
    case RESET:
      return tms ? RESET : IDLE;
    case IDLE:
      return tms ? DRSELECT : IDLE;
    case DRSELECT:
      return tms ? IRSELECT : DRCAPTURE;
    case DRCAPTURE:
    case DRSHIFT:
      return tms ? DREXIT1 : DRSHIFT;
    case DREXIT1:
      return tms ? DRUPDATE : DRPAUSE;
    case DRPAUSE:
      return tms ? DREXIT2 : DRPAUSE;
    case DREXIT2:
      return tms ? DRUPDATE : DRSHIFT;
    case DRUPDATE:
    case IRUPDATE:
      return tms ? DRSELECT : IDLE;
    case IRSELECT:
      return tms ? RESET : IRCAPTURE;
    case IRCAPTURE:
    case IRSHIFT:
      return tms ? IREXIT1 : IRSHIFT;
    case IREXIT1:
      return tms ? IRUPDATE : IRPAUSE;
    case IRPAUSE:
      return tms ? IREXIT2 : IRPAUSE;
    case IREXIT2:
      return tms ? IRUPDATE : IRSHIFT;
  }
  return -1;
}

Levels repeat(int level, int n) { return Levels(static_cast<size_t>(n), level); }

Levels cat(std::initializer_list<Levels> parts) {
  Levels all;
  for (const Levels &p : parts) all.insert(all.end(), p.begin(), p.end());
  return all;
}

Levels bits_of(const std::vector<uint8_t> &bytes, unsigned start, unsigned n) {
  Levels out;
  for (unsigned i = start; i < start + n; ++i) out.push_back((bytes[i / 8] >> (i % 8)) & 1);
  return out;
}

// Levels of the cycles from `first` on.
Levels tdi_from(size_t first, size_t n) {
  const Levels all = playertest::port::tdi_levels();
  return Levels(all.begin() + static_cast<long>(first), all.begin() + static_cast<long>(first + n));
}

class ScanEngine : public ::testing::Test {
 protected:
  void SetUp() override {
    playertest::port::reset();
    jbi_init_jtag();
    live_before_ = jbi_malloc_live_blocks;
  }
  void TearDown() override {
    jbi_free_jtag_padding_buffers(0);
    jbi_malloc_budget = -1;
    EXPECT_EQ(jbi_malloc_live_blocks, live_before_) << "scan storage not released";
  }
  // Puts the engine in a known state without clocking.
  void start_in(JBIE_JTAG_STATE s) {
    jbi_jtag_state = s;
    playertest::port::reset();
  }
  long live_before_ = 0;
};

// ---- Moving between states ----------------------------------------------------------------

TEST_F(ScanEngine, FirstMoveFromUnknownStateResetsThenHoldsIdle) {
  EXPECT_EQ(jbi_goto_jtag_state(IDLE), 0);
  EXPECT_EQ(playertest::port::tms_levels(), (Levels{1, 1, 1, 1, 1, 0, 0}));
  EXPECT_EQ(jbi_jtag_state, IDLE);
}

TEST_F(ScanEngine, PathMapReachesEveryStateWithinEightCyclesAvoidingReset) {
  for (int from = RESET; from <= IRUPDATE; ++from) {
    for (int to = RESET; to <= IRUPDATE; ++to) {
      if (from == to) continue;
      start_in(static_cast<JBIE_JTAG_STATE>(from));
      ASSERT_EQ(jbi_goto_jtag_state(static_cast<JBIE_JTAG_STATE>(to)), 0) << from << "->" << to;
      const Levels tms = playertest::port::tms_levels();
      EXPECT_LE(tms.size(), 8u) << from << "->" << to;
      int s = from;
      for (int level : tms) {
        s = tap_next(s, level);
        if (to != RESET) {
          EXPECT_NE(s, RESET) << "passed Test-Logic-Reset on " << from << "->" << to;
        }
      }
      EXPECT_EQ(s, to) << "the TMS path of " << from << "->" << to << " ends elsewhere";
      EXPECT_EQ(jbi_jtag_state, to);
    }
  }
}

TEST_F(ScanEngine, KnownPathsTakeTheDocumentedTmsSequences) {
  start_in(IDLE);
  EXPECT_EQ(jbi_goto_jtag_state(DRSHIFT), 0);
  EXPECT_EQ(playertest::port::tms_levels(), (Levels{1, 0, 0}));

  start_in(IRPAUSE);
  EXPECT_EQ(jbi_goto_jtag_state(DRSHIFT), 0);
  EXPECT_EQ(playertest::port::tms_levels(), (Levels{1, 1, 1, 0, 0}));

  start_in(DRSELECT);
  EXPECT_EQ(jbi_goto_jtag_state(IDLE), 0);
  EXPECT_EQ(playertest::port::tms_levels(), (Levels{0, 1, 1, 0}));
}

TEST_F(ScanEngine, MoveToCurrentStateClocksOnlyWhereTmsHoldsIt) {
  start_in(DRSELECT);
  EXPECT_EQ(jbi_goto_jtag_state(DRSELECT), 0);
  EXPECT_TRUE(playertest::port::trace().empty());

  start_in(RESET);
  EXPECT_EQ(jbi_goto_jtag_state(RESET), 0);
  EXPECT_EQ(playertest::port::tms_levels(), (Levels{1}));

  for (JBIE_JTAG_STATE s : {IDLE, DRSHIFT, DRPAUSE, IRSHIFT, IRPAUSE}) {
    start_in(s);
    EXPECT_EQ(jbi_goto_jtag_state(s), 0);
    EXPECT_EQ(playertest::port::tms_levels(), (Levels{0})) << "state " << s;
    EXPECT_EQ(jbi_jtag_state, s);
  }
}

TEST_F(ScanEngine, NumberOutsideTheDiagramIsRefusedWithoutClocking) {
  for (int bad : {16, -1, 255, -2147483647 - 1}) {
    start_in(IDLE);
    EXPECT_EQ(jbi_goto_jtag_state(static_cast<JBIE_JTAG_STATE>(bad)), 10) << bad;
    EXPECT_TRUE(playertest::port::trace().empty()) << bad;
    EXPECT_EQ(jbi_jtag_state, IDLE);
  }
}

// ---- Scans ---------------------------------------------------------------------------------

TEST_F(ScanEngine, InstructionScanWrapsTargetInPaddingAndReturnsToStopState) {
  start_in(IDLE);
  const std::vector<uint8_t> target = {0xA5, 0x02};  // bits 0..9: 1010010101
  ASSERT_EQ(jbi_set_ir_preamble(2, 0, nullptr), 0);
  ASSERT_EQ(jbi_set_ir_postamble(3, 0, nullptr), 0);
  ASSERT_EQ(jbi_do_irscan(10, target.data(), 0), 0);

  EXPECT_EQ(playertest::port::tms_levels(),
            cat({{1, 1, 0, 0}, repeat(0, 14), {1}, {0}, {1, 1, 0}}));
  EXPECT_EQ(tdi_from(4, 15), cat({repeat(1, 2), bits_of(target, 0, 10), repeat(1, 3)}));
  EXPECT_EQ(playertest::port::tdo_reads(), 0) << "a plain scan reads no TDO";
  EXPECT_EQ(jbi_jtag_state, IDLE);
}

TEST_F(ScanEngine, DataScanWithPauseStopStateEndsThere) {
  start_in(IDLE);
  jbi_set_drstop_state(DRPAUSE);
  const std::vector<uint8_t> target = {0x3C};
  ASSERT_EQ(jbi_do_drscan(8, target.data(), 0), 0);
  EXPECT_EQ(playertest::port::tms_levels(), cat({{1, 0, 0}, repeat(0, 7), {1}, {0}}));
  EXPECT_EQ(tdi_from(3, 8), bits_of(target, 0, 8));
  EXPECT_EQ(jbi_jtag_state, DRPAUSE);
}

TEST_F(ScanEngine, EntrySequenceDependsOnWhereTheScanStarts) {
  const std::vector<uint8_t> one = {1};
  struct Case {
    JBIE_JTAG_STATE from;
    bool ir;
    Levels entry;
  };
  const Case cases[] = {
      {DRPAUSE, false, {1, 0}},          {DRPAUSE, true, {1, 1, 1, 1, 0, 0}},
      {IRPAUSE, false, {1, 1, 1, 0, 0}}, {IRPAUSE, true, {1, 0}},
      {RESET, false, {0, 1, 0, 0}},      {RESET, true, {0, 1, 1, 0, 0}},
  };
  for (const Case &c : cases) {
    start_in(c.from);
    jbi_set_drstop_state(DRPAUSE);
    jbi_set_irstop_state(IRPAUSE);
    ASSERT_EQ(c.ir ? jbi_do_irscan(1, one.data(), 0) : jbi_do_drscan(1, one.data(), 0), 0);
    EXPECT_EQ(playertest::port::tms_levels(), cat({c.entry, {1, 0}}))
        << "from " << c.from << (c.ir ? " IR" : " DR");
  }
}

TEST_F(ScanEngine, ScanFromInnerStateOfAColumnGoesToItsPauseStateFirst) {
  start_in(DREXIT1);
  const std::vector<uint8_t> one = {1};
  jbi_set_drstop_state(DRPAUSE);
  ASSERT_EQ(jbi_do_drscan(1, one.data(), 0), 0);
  // Exit1-DR -> Pause-DR, then the entry from Pause-DR.
  EXPECT_EQ(playertest::port::tms_levels(), (Levels{0, 1, 0, 1, 0}));
}

TEST_F(ScanEngine, FirstScanOfARunResetsTheTap) {
  const std::vector<uint8_t> one = {1};
  ASSERT_EQ(jbi_do_drscan(1, one.data(), 0), 0);
  EXPECT_EQ(playertest::port::tms_levels(),
            cat({{1, 1, 1, 1, 1, 0}, {0}, {1, 0, 0}, {1}, {0}, {1, 1, 0}}));
}

TEST_F(ScanEngine, TargetBitsAreTakenFromStartIndex) {
  start_in(IDLE);
  const std::vector<uint8_t> data = {0xF0, 0x0F, 0x55};
  ASSERT_EQ(jbi_do_drscan(13, data.data(), 5), 0);
  EXPECT_EQ(tdi_from(3, 13), bits_of(data, 5, 13));
}

TEST_F(ScanEngine, PaddingWithDataTakesBitsFromStartIndex) {
  start_in(IDLE);
  const std::vector<uint8_t> pre = {0x00, 0xB6, 0x01};
  const std::vector<uint8_t> post = {0x9C};
  const std::vector<uint8_t> target = {0x00};
  ASSERT_EQ(jbi_set_dr_preamble(11, 7, pre.data()), 0);
  ASSERT_EQ(jbi_set_dr_postamble(5, 2, post.data()), 0);
  ASSERT_EQ(jbi_do_drscan(2, target.data(), 0), 0);
  EXPECT_EQ(tdi_from(3, 18), cat({bits_of(pre, 7, 11), {0, 0}, bits_of(post, 2, 5)}));
}

TEST_F(ScanEngine, SwapCapturesTargetBitsAndDropsPadding) {
  start_in(IDLE);
  ASSERT_EQ(jbi_set_dr_preamble(3, 0, nullptr), 0);
  ASSERT_EQ(jbi_set_dr_postamble(2, 0, nullptr), 0);
  // TDO per shift cycle: 3 preamble, 6 target (1,0,1,1,0,1), 2 postamble.
  playertest::port::set_tdo_script({1, 1, 1, 1, 0, 1, 1, 0, 1, 1, 1});
  const std::vector<uint8_t> in = {0x00};
  std::vector<uint8_t> out = {0x00, 0xFF};
  ASSERT_EQ(jbi_swap_dr(6, in.data(), 0, out.data(), 4), 0);
  EXPECT_EQ(playertest::port::tdo_reads(), 11) << "TDO is read in every shift cycle and no other";
  // Bits 4..9 of out get 1,0,1,1,0,1; bits 0..3 and 10..15 keep their values.
  EXPECT_EQ(out[0], 0xD0);
  EXPECT_EQ(out[1], 0xFE);
}

TEST_F(ScanEngine, TdoIsReadOnlyInShiftCycles) {
  start_in(IDLE);
  const std::vector<uint8_t> in = {0x00};
  std::vector<uint8_t> out = {0x00};
  ASSERT_EQ(jbi_swap_ir(5, in.data(), 0, out.data(), 0), 0);
  const auto &trace = playertest::port::trace();
  ASSERT_EQ(trace.size(), 4u + 5u + 1u + 3u);
  for (size_t i = 0; i < trace.size(); ++i)
    EXPECT_EQ(trace[i].read_tdo, i >= 4 && i < 9) << "cycle " << i;
}

TEST_F(ScanEngine, SwapInPlaceReplacesOnlyTheTargetBits) {
  start_in(IDLE);
  std::vector<uint8_t> data = {0xAA, 0xAA};
  const std::vector<uint8_t> before = data;
  // 7 target bits from bit 3; the chain answers with the opposite of what went in.
  const Levels sent = bits_of(before, 3, 7);
  Levels answer;
  for (int b : sent) answer.push_back(!b);
  playertest::port::set_tdo_script(answer);
  ASSERT_EQ(jbi_swap_dr(7, data.data(), 3, data.data(), 3), 0);
  EXPECT_EQ(tdi_from(3, 7), sent) << "bits went out before the captured ones replaced them";
  EXPECT_EQ(bits_of(data, 3, 7), answer);
  EXPECT_EQ(bits_of(data, 0, 3), bits_of(before, 0, 3));
  EXPECT_EQ(bits_of(data, 10, 6), bits_of(before, 10, 6));
}

TEST_F(ScanEngine, LargeUnalignedScanCarriesEveryBit) {
  start_in(IDLE);
  std::vector<uint8_t> data(1000);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 37 + 11);
  const std::vector<uint8_t> pre = {0x5};
  ASSERT_EQ(jbi_set_dr_preamble(3, 0, pre.data()), 0);
  ASSERT_EQ(jbi_do_drscan(7000, data.data(), 9), 0);
  EXPECT_EQ(tdi_from(3, 3 + 7000), cat({{1, 0, 1}, bits_of(data, 9, 7000)}));
}

TEST_F(ScanEngine, UnreachableStopStateFailsAfterShiftAndCapturesNothing) {
  start_in(IDLE);
  jbi_set_drstop_state(static_cast<JBIE_JTAG_STATE>(42));
  playertest::port::set_tdo_script({1, 1, 1, 1});
  const std::vector<uint8_t> in = {0x00};
  std::vector<uint8_t> out = {0x00};
  EXPECT_EQ(jbi_swap_dr(4, in.data(), 0, out.data(), 0), 10);
  EXPECT_EQ(out[0], 0x00);
  EXPECT_EQ(jbi_jtag_state, DRPAUSE);
}

TEST_F(ScanEngine, EmptyScanClocksNothing) {
  start_in(IDLE);
  const std::vector<uint8_t> data = {0};
  EXPECT_EQ(jbi_do_irscan(0, data.data(), 0), 0);
  EXPECT_TRUE(playertest::port::trace().empty());
  EXPECT_EQ(jbi_jtag_state, IDLE);
}

// ---- Storage ---------------------------------------------------------------------------------

TEST_F(ScanEngine, PaddingStorageGrowsOnlyWhenACountOutgrowsIt) {
  ASSERT_EQ(jbi_set_dr_preamble(8, 0, nullptr), 0);
  jbi_malloc_budget = 0;  // from here on every allocation fails
  EXPECT_EQ(jbi_set_dr_preamble(16, 0, nullptr), 1) << "growing 8 -> 16 must allocate";
  jbi_malloc_budget = -1;
  ASSERT_EQ(jbi_set_dr_preamble(16, 0, nullptr), 0);
  jbi_malloc_budget = 0;
  EXPECT_EQ(jbi_set_dr_preamble(4, 0, nullptr), 0) << "shrinking keeps the storage";
  EXPECT_EQ(jbi_dr_preamble, 4u);
  EXPECT_EQ(jbi_set_dr_preamble(12, 0, nullptr), 1) << "the count is the only record of size";
}

TEST_F(ScanEngine, FailedPaddingAllocationLeavesNoCountWithoutStorage) {
  jbi_malloc_budget = 0;
  EXPECT_EQ(jbi_set_ir_postamble(20, 0, nullptr), 1);
  EXPECT_EQ(jbi_ir_postamble, 0u);
  EXPECT_EQ(jbi_ir_postamble_data, nullptr);
}

TEST_F(ScanEngine, ScanBufferIsReusedUntilAScanOutgrowsIt) {
  start_in(IDLE);
  std::vector<uint8_t> data(8, 0x33);
  ASSERT_EQ(jbi_do_drscan(60, data.data(), 0), 0);
  EXPECT_EQ(jbi_dr_length, 64u);
  jbi_malloc_budget = 0;
  EXPECT_EQ(jbi_do_drscan(64, data.data(), 0), 0);
  EXPECT_EQ(jbi_do_drscan(65, data.data(), 0), 1);
  EXPECT_EQ(jbi_dr_buffer, nullptr);
  EXPECT_EQ(jbi_dr_length, 0u);
}

TEST_F(ScanEngine, InitForgetsStopStatesAndPadding) {
  jbi_set_drstop_state(DRPAUSE);
  jbi_set_irstop_state(IRPAUSE);
  ASSERT_EQ(jbi_set_ir_preamble(5, 0, nullptr), 0);
  jbi_jtag_state = IDLE;
  jbi_free_jtag_padding_buffers(0);
  jbi_init_jtag();
  EXPECT_EQ(jbi_jtag_state, JBI_ILLEGAL_JTAG_STATE);
  EXPECT_EQ(jbi_drstop_state, IDLE);
  EXPECT_EQ(jbi_irstop_state, IDLE);
  EXPECT_EQ(jbi_ir_preamble, 0u);
  EXPECT_EQ(jbi_ir_preamble_data, nullptr);
}

// ---- Waiting and end of run --------------------------------------------------------------------

TEST_F(ScanEngine, WaitCyclesHoldTheWaitStateWithItsTmsLevel) {
  start_in(IDLE);
  EXPECT_EQ(jbi_do_wait_cycles(4, RESET), 0);
  EXPECT_EQ(playertest::port::tms_levels(), repeat(1, 3 + 4));
  EXPECT_EQ(jbi_jtag_state, RESET);

  start_in(DRPAUSE);
  EXPECT_EQ(jbi_do_wait_cycles(3, IDLE), 0);
  EXPECT_EQ(playertest::port::tms_levels(), (Levels{1, 1, 0, 0, 0, 0}));

  start_in(DRPAUSE);
  EXPECT_EQ(jbi_do_wait_cycles(0, IDLE), 0);
  EXPECT_EQ(playertest::port::tms_levels(), (Levels{1, 1, 0})) << "0 cycles only moves";
}

TEST_F(ScanEngine, WaitInAStateTmsCannotHoldIsRefused) {
  start_in(IDLE);
  EXPECT_EQ(jbi_do_wait_cycles(5, DRSELECT), 10);
  EXPECT_TRUE(playertest::port::trace().empty());
  EXPECT_EQ(jbi_jtag_state, IDLE);
}

TEST_F(ScanEngine, TimedWaitBeforeAnyActivityOnlyWaits) {
  EXPECT_EQ(jbi_do_wait_microseconds(250, IDLE), 0);
  EXPECT_TRUE(playertest::port::trace().empty());
  EXPECT_EQ(playertest::port::delay_total_us(), 250);
  EXPECT_EQ(jbi_jtag_state, JBI_ILLEGAL_JTAG_STATE);
}

TEST_F(ScanEngine, TimedWaitMovesToTheWaitStateFirst) {
  start_in(IDLE);
  EXPECT_EQ(jbi_do_wait_microseconds(10, DRPAUSE), 0);
  EXPECT_EQ(playertest::port::tms_levels(), (Levels{1, 0, 1, 0}));
  EXPECT_EQ(playertest::port::delay_total_us(), 10);

  start_in(IDLE);
  EXPECT_EQ(jbi_do_wait_microseconds(10, static_cast<JBIE_JTAG_STATE>(99)), 10);
  EXPECT_EQ(playertest::port::delay_calls(), 0) << "no wait after a failed move";
}

TEST_F(ScanEngine, EndOfRunResetsOnlyATapThatWasTouched) {
  jbi_free_jtag_padding_buffers(1);
  EXPECT_TRUE(playertest::port::trace().empty());

  jbi_init_jtag();
  start_in(DRPAUSE);
  jbi_free_jtag_padding_buffers(1);
  EXPECT_EQ(playertest::port::tms_levels(), (Levels{1, 1, 1, 1, 1, 0}));
  EXPECT_EQ(jbi_jtag_state, IDLE);

  jbi_init_jtag();
  start_in(DRPAUSE);
  jbi_free_jtag_padding_buffers(0);
  EXPECT_TRUE(playertest::port::trace().empty());
}

}  // namespace
