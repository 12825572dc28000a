// Recording runs as SVF and playing SVF, against the TCK trace of the recording port: a
// recorded run played back must clock exactly the same TMS and TDI levels.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "stapl/src/jbijtag.h"
#include "stapl/src/jbiport.h"
#include "stapl/src/svf_player.h"
#include "stapl/src/svf_writer.h"
#include "stapl/src/tests/support/test_port.h"

namespace {

namespace port = playertest::port;

struct TempFile {
  std::string path;
  TempFile() {
    char name[] = "/tmp/io_svf_test_XXXXXX";
    const int fd = mkstemp(name);
    if (fd >= 0) close(fd);
    path = name;
  }
  ~TempFile() {
    if (!getenv("KEEP_SVF")) std::remove(path.c_str());
  }
  std::string read() const {
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
  }
};

struct Levels {
  std::vector<int> tms, tdi;
};

Levels levels() { return {port::tms_levels(), port::tdi_levels()}; }

struct Played {
  int result;
  std::string printed;
  Levels clocked;
};

Played play(const std::string &text) {
  port::reset();
  testing::internal::CaptureStdout();
  const int result = svf_play(text.data(), static_cast<int64_t>(text.size()));
  Played p{result, testing::internal::GetCapturedStdout(), levels()};
  return p;
}

// Runs `ops` on the scan engine with a recording open; returns what the port saw.
template <typename Ops>
Levels record(const TempFile &file, Ops ops) {
  port::reset();
  EXPECT_EQ(svf_record_open(file.path.c_str()), 0);
  jbi_init_jtag();
  ops();
  jbi_free_jtag_padding_buffers(1);
  EXPECT_EQ(svf_record_close(), 0);
  return levels();
}

void expect_same_cycles(const Levels &original, const Levels &replayed) {
  ASSERT_FALSE(original.tms.empty());
  ASSERT_EQ(replayed.tms.size(), original.tms.size()) << "cycle counts differ";
  for (size_t i = 0; i < original.tms.size(); ++i) {
    ASSERT_EQ(replayed.tms[i], original.tms[i]) << "TMS of cycle " << i;
    ASSERT_EQ(replayed.tdi[i], original.tdi[i]) << "TDI of cycle " << i;
  }
}

std::vector<uint8_t> pattern(size_t bytes, unsigned seed) {
  std::vector<uint8_t> v(bytes);
  for (size_t i = 0; i < bytes; ++i) v[i] = static_cast<uint8_t>(i * 37 + seed * 101 + 5);
  return v;
}

// ---- A recorded run plays back cycle for cycle ----------------------------------------------

TEST(SvfRoundTrip, PaddedScansStopStatesAndCapturesReplayExactly) {
  TempFile file;
  const std::vector<uint8_t> ir = pattern(4, 1), dr = pattern(40, 2), pad = pattern(8, 3);
  const Levels original = record(file, [&] {
    jbi_goto_jtag_state(IDLE);
    jbi_set_ir_preamble(6, 0, nullptr);
    jbi_set_dr_preamble(1, 0, nullptr);
    jbi_do_irscan(10, ir.data(), 0);  // IDCODE of the FPGA behind the 6-bit device
    std::vector<uint8_t> id(4, 0);
    jbi_swap_dr(32, id.data(), 0, id.data(), 0);
    jbi_set_irstop_state(IRPAUSE);
    jbi_set_drstop_state(DRPAUSE);
    jbi_set_dr_postamble(13, 2, pad.data());
    jbi_do_irscan(10, ir.data(), 3);
    jbi_do_drscan(300, dr.data(), 7);  // from IRPAUSE
    jbi_do_drscan(17, dr.data(), 1);   // from DRPAUSE
    std::vector<uint8_t> out(40, 0);
    jbi_swap_dr(64, dr.data(), 0, out.data(), 0);
    jbi_swap_ir(10, ir.data(), 0, out.data(), 0);  // from DRPAUSE into the IR column
    jbi_set_irstop_state(RESET);
    jbi_do_irscan(10, ir.data(), 0);
  });
  const std::string text = file.read();
  EXPECT_NE(text.find("TDO ("), std::string::npos) << "captures are written as TDO checks";
  const Played p = play(text);
  EXPECT_EQ(p.result, SVF_OK) << p.printed;
  EXPECT_GT(svf_last_play.compared_bits, 0u);
  expect_same_cycles(original, p.clocked);
}

TEST(SvfRoundTrip, WaitsAndMovesThroughEveryKindOfStateReplayExactly) {
  TempFile file;
  const std::vector<uint8_t> data = pattern(16, 4);
  const Levels original = record(file, [&] {
    jbi_do_wait_microseconds(50, IDLE);  // before the TAP is known: no cycles
    jbi_goto_jtag_state(RESET);
    jbi_goto_jtag_state(RESET);  // one more TMS = 1 cycle
    jbi_do_wait_cycles(7, RESET);
    jbi_do_wait_cycles(12, IDLE);
    jbi_goto_jtag_state(IDLE);  // one more TMS = 0 cycle
    jbi_do_wait_cycles(3, DRPAUSE);
    jbi_do_wait_cycles(4, IRPAUSE);
    jbi_do_wait_microseconds(250, IRPAUSE);
    jbi_goto_jtag_state(DRSELECT);  // unstable: the walk goes on from here
    jbi_do_drscan(20, data.data(), 0);
    jbi_goto_jtag_state(IRUPDATE);
    jbi_goto_jtag_state(DRSHIFT);  // through Update, Select and Capture, no stable state
    jbi_do_wait_cycles(9, DRSHIFT);
    jbi_goto_jtag_state(IDLE);
    jbi_goto_jtag_state(IRSHIFT);
    jbi_goto_jtag_state(IRPAUSE);
    jbi_do_wait_microseconds(1200, IDLE);
  });
  const Played p = play(file.read());
  EXPECT_EQ(p.result, SVF_OK) << p.printed;
  expect_same_cycles(original, p.clocked);
  EXPECT_EQ(port::delay_total_us(), 250 + 1200) << "timed waits are played as waits";
}

TEST(SvfRoundTrip, RecordingLeavesTheRunsOwnCyclesUnchanged) {
  const std::vector<uint8_t> data = pattern(8, 5);
  auto ops = [&] {
    jbi_do_irscan(10, data.data(), 0);
    jbi_do_wait_cycles(5, IDLE);
    jbi_do_drscan(33, data.data(), 0);
  };
  port::reset();
  jbi_init_jtag();
  ops();
  jbi_free_jtag_padding_buffers(1);
  const Levels plain = levels();
  TempFile file;
  const Levels recorded = record(file, ops);
  expect_same_cycles(plain, recorded);
}

// The engine hands the recorder whole shifts, TMS sequences and waits; the same cycles handed
// over one at a time must give the same file. The scans span several of the engine's slices and
// end inside a byte; captures have no padding around them, since a trace of cycles cannot tell
// the recorder which bits belonged to the target device.
TEST(SvfRoundTrip, CyclesHandedOverInRunsAreWrittenAsWhenOneAtATime) {
  TempFile in_runs, one_at_a_time;
  const std::vector<uint8_t> data = pattern(2048, 6);
  std::vector<uint8_t> out(2048, 0);
  port::reset();
  jbi_init_jtag();
  jbi_goto_jtag_state(IDLE);  // the recorder, opened after this, does not know the TAP yet
  const size_t before = port::trace().size();
  ASSERT_EQ(svf_record_open(in_runs.path.c_str()), 0);
  jbi_do_drscan(300, data.data(), 0);
  jbi_do_wait_cycles(6, RESET);  // the recorder's first reset
  jbi_do_drscan(9001, data.data(), 3);
  jbi_swap_dr(12000, data.data(), 1, out.data(), 0);
  for (unsigned int n : {4098u, 4101u, 4103u, 8195u})
    jbi_swap_dr(n, data.data(), n % 7, out.data(), 0);
  jbi_swap_ir(10, data.data(), 0, out.data(), 0);
  jbi_do_wait_cycles(5000, IDLE);
  jbi_do_wait_cycles(20, DRSHIFT);
  jbi_do_wait_cycles(9, DRPAUSE);
  jbi_set_dr_preamble(5, 0, nullptr);
  jbi_set_dr_postamble(7, 0, data.data());
  jbi_set_drstop_state(DRPAUSE);
  jbi_do_drscan(4100, data.data(), 0);
  jbi_goto_jtag_state(IRPAUSE);
  jbi_do_wait_cycles(3, IRPAUSE);
  jbi_free_jtag_padding_buffers(1);
  ASSERT_EQ(svf_record_close(), 0);

  const std::vector<port::Cycle> cycles(port::trace().begin() + static_cast<long>(before),
                                        port::trace().end());
  ASSERT_EQ(svf_record_open(one_at_a_time.path.c_str()), 0);
  for (const port::Cycle &c : cycles) svf_record_tck(c.tms, c.tdi, c.read_tdo, c.tdo);
  ASSERT_EQ(svf_record_close(), 0);
  const std::string text = in_runs.read();
  EXPECT_NE(text.find("SDR 12000 TDI"), std::string::npos) << text;
  EXPECT_NE(text.find("TDO ("), std::string::npos) << text;
  EXPECT_EQ(text, one_at_a_time.read());
}

// A recording that stops inside a scan says so rather than writing half a scan.
TEST(SvfRoundTrip, AScanCutShortIsNamedNotWritten) {
  TempFile file;
  ASSERT_EQ(svf_record_open(file.path.c_str()), 0);
  for (int i = 0; i < 5; ++i) svf_record_tck(1, 0, 0, 0);
  for (int tms : {0, 1, 0, 0, 0, 0, 0}) svf_record_tck(tms, 1, 0, 0);  // into Shift-DR, 3 bits
  ASSERT_EQ(svf_record_close(), 0);
  const std::string text = file.read();
  EXPECT_NE(text.find("inside DRSHIFT after 3 bits"), std::string::npos) << text;
  EXPECT_EQ(text.find("SDR"), std::string::npos) << text;
}

// ---- Playing what other writers emit --------------------------------------------------------

TEST(SvfPlay, HeaderAndTrailerWrapTheScanHeaderFirst) {
  const Played p = play(
      "STATE RESET; STATE IDLE;\n"
      "HIR 2 TDI (1); TIR 3 TDI (6);\n"
      "SIR 4 TDI (9);\n");
  ASSERT_EQ(p.result, SVF_OK) << p.printed;
  // 5 + 1 cycles to IDLE, 4 to Shift-IR, then header 1,0, data 1,0,0,1, trailer 0,1,1.
  const std::vector<int> shifted(p.clocked.tdi.begin() + 10, p.clocked.tdi.begin() + 19);
  EXPECT_EQ(shifted, (std::vector<int>{1, 0, 1, 0, 0, 1, 0, 1, 1}));
  // The last shifted bit leaves Shift-IR; ENDIR defaults to IDLE: Exit1, Update, Idle.
  const std::vector<int> tail(p.clocked.tms.begin() + 18, p.clocked.tms.end());
  EXPECT_EQ(tail, (std::vector<int>{1, 1, 0}));
}

TEST(SvfPlay, TdiAndMaskCarryOverWhileTheLengthStays) {
  const Played p = play(
      "SDR 8 TDI (A5) MASK (0F) TDO (00);\n"  // the default chain's IDCODE bits are not 0
      "SDR 8;\n");
  // IDLE-to-Shift from the unknown state: 5 ones, then 1, 0, 0; each scan shifts A5.
  EXPECT_EQ(p.result, SVF_TDO_MISMATCH) << p.printed;
  EXPECT_EQ(svf_last_play.line, 1);
  const Played q = play("SDR 8 TDI (A5);\nSDR 8;\nSDR 4;\n");
  EXPECT_EQ(q.result, SVF_SYNTAX);
  EXPECT_EQ(svf_last_play.line, 3);
  EXPECT_NE(q.printed.find("SVF line 3: TDI missing"), std::string::npos) << q.printed;
}

TEST(SvfPlay, RuntestFormsClockAndWait) {
  const Played p = play(
      "runtest 10 tck;\n"                       // IDLE by default
      "RUNTEST DRPAUSE 3 TCK ENDSTATE IDLE;\n"  // there and back
      "RUNTEST 2.5E-3 SEC;\n"                   // run and end state as before: DRPAUSE, then IDLE
      "RUNTEST IDLE 4 TCK 1E-3 SEC MAXIMUM 1 SEC;\n"
      "RUNTEST RESET 2 TCK;\n");
  ASSERT_EQ(p.result, SVF_OK) << p.printed;
  EXPECT_EQ(port::delay_total_us(), 2500 + 1000);
  std::vector<int> expected(5, 1);                       // unknown -> RESET
  expected.push_back(0);                                 // -> IDLE
  expected.insert(expected.end(), 10, 0);                // 10 in IDLE
  for (int tms : {1, 0, 1, 0}) expected.push_back(tms);  // -> DRPAUSE
  expected.insert(expected.end(), 3, 0);                 // 3 in DRPAUSE
  for (int tms : {1, 1, 0}) expected.push_back(tms);     // -> IDLE
  for (int tms : {1, 0, 1, 0}) expected.push_back(tms);  // -> DRPAUSE, no cycles there
  for (int tms : {1, 1, 0}) expected.push_back(tms);     // -> IDLE
  expected.insert(expected.end(), 4, 0);                 // 4 in IDLE
  for (int tms : {1, 1, 1}) expected.push_back(tms);     // -> RESET
  expected.insert(expected.end(), 2, 1);                 // 2 in RESET
  EXPECT_EQ(p.clocked.tms, expected);
}

TEST(SvfPlay, FrequencyAndTrstAreIgnoredWithOneNoteEach) {
  const Played p = play(
      "! made by another tool\n"
      "// with C++ comments too\n"
      "FREQUENCY 1.00E+07 HZ;\nTRST OFF;\nFREQUENCY;\nTRST Z;\nSTATE RESET;\n");
  ASSERT_EQ(p.result, SVF_OK) << p.printed;
  EXPECT_NE(p.printed.find("SVF line 3: FREQUENCY ignored"), std::string::npos) << p.printed;
  EXPECT_NE(p.printed.find("SVF line 4: TRST ignored"), std::string::npos) << p.printed;
  EXPECT_EQ(p.printed.find("line 5:"), std::string::npos) << "one note each: " << p.printed;
  EXPECT_EQ(p.clocked.tms, std::vector<int>(5, 1));
}

TEST(SvfPlay, AMismatchNamesItsLineAndTheBitsThatDiffer) {
  // The default chain resets to IDCODE: device 1 (nearest TDO) sends 0x13631093 first.
  const std::string good = "STATE RESET;\nSTATE IDLE;\nSDR 32 TDI (0)\n TDO (13631093);\n";
  EXPECT_EQ(play(good).result, SVF_OK);
  const Played p =
      play("STATE RESET;\nSTATE IDLE;\n\nSDR 32 TDI (0)\n TDO (13631097);\nSTATE RESET;\n");
  ASSERT_EQ(p.result, SVF_TDO_MISMATCH) << p.printed;
  EXPECT_EQ(svf_last_play.line, 4);
  EXPECT_EQ(svf_last_play.differing_bits, 1u);
  EXPECT_EQ(svf_last_play.first_differing, 2u);
  EXPECT_NE(p.printed.find("SVF line 4: TDO mismatch in SDR of 32 bits: 1 of 32 compared bits "
                           "differ\n  bit 2: expected 1, read 0\n"),
            std::string::npos)
      << p.printed;
  // It stops there: the STATE RESET after it is not played.
  EXPECT_NE(p.clocked.tms.back(), 1);
  // A mask over the differing bit lets it pass.
  EXPECT_EQ(play("STATE RESET;\nSDR 32 TDI (0) TDO (13631097) MASK (FFFFFFFB);\n").result, SVF_OK);
}

TEST(SvfPlay, TextThatIsNotSvfIsRefusedWithItsLine) {
  struct Case {
    const char *text;
    int line;
    const char *message;
  };
  const Case cases[] = {
      {"STATE RESET;\nSIR 4 TDI (1F);\n", 2, "TDI has data with set bits beyond the length"},
      {"SIR 4 TDI (G);", 1, "TDI has data that is not hexadecimal"},
      {"\nSIR 4 TDI (1)", 2, "';' expected"},
      {"SIR 4 TDI (1", 1, "'(' with hexadecimal data expected"},
      {"SDR 2000000000 TDI (0);", 1, "a scan length"},
      {"STATE RESET;\nSTATE IDLE IRSHIFT;\n", 2, "IRSHIFT does not follow IDLE"},
      {"ENDDR DRSHIFT;", 1, "IDLE, RESET, DRPAUSE or IRPAUSE expected"},
      {"RUNTEST DRSHIFT 5 TCK;", 1, "TCK cycles need"},
      {"PIOMAP (IN A OUT B);", 1, "PIO and PIOMAP are not supported"},
      {"\n\nLOOP 3;", 3, "an SVF command expected, found 'LOOP'"},
      {"RUNTEST 5 MS;", 1, "TCK, SCK or SEC expected"},
  };
  for (const Case &c : cases) {
    const Played p = play(c.text);
    EXPECT_NE(p.result, SVF_OK) << c.text;
    EXPECT_EQ(svf_last_play.line, c.line) << c.text;
    EXPECT_NE(p.printed.find(c.message), std::string::npos) << c.text << " -> " << p.printed;
  }
}

TEST(SvfPlay, TheCycleLimitStopsALongRequestBeforeItClocks) {
  svf_tck_limit = 1000;
  const Played p = play("RUNTEST 2000000000 TCK;");
  svf_tck_limit = 0;
  EXPECT_EQ(p.result, SVF_LIMIT);
  EXPECT_TRUE(p.clocked.tms.empty());
  // A wait no device needs is a mistake in the file: refused before it starts.
  const Played w = play("RUNTEST 1E26 SEC;");
  EXPECT_EQ(w.result, SVF_LIMIT);
  EXPECT_EQ(port::delay_calls(), 0);
}

}  // namespace
