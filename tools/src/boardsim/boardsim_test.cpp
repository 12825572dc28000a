// boardsim as a user runs it: exit codes, printed lines, and the board it changes.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/lb/lb.h"
#include "platform/lb/sim/board_control.h"
#include "testing/process.h"

namespace {

using namespace std::chrono_literals;
using Result = zoltest::RunResult;

class Boardsim : public ::testing::Test {
 protected:
  void SetUp() override {
    name_ = "t" + std::to_string(getpid()) + "-" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name();
  }
  void TearDown() override { lbsim::BoardControl::remove(name_); }
  // boardsim with `args` (split at blanks) on this test's board.
  Result run(const std::string &args) {
    std::vector<std::string> argv = zoltest::words_of(args);
    argv.insert(argv.begin(), zoltest::bin("boardsim"));
    return zoltest::run(argv, {{"LB_SIM", name_}});
  }
  // Runs the local-bus calls in a child on this board; returns the child's exit status.
  int with_bus(int (*body)()) {
    fflush(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
      unsetenv("LB_DEVICE");
      setenv("LB_SIM", name_.c_str(), 1);
      lb_desc desc{0, 0, 0x10000, 2, 0x20020000, 0, 0, -1};
      void *base;
      if (lb_init_s(&desc) != 0 || lb_map(&base, 0x10000, 0, 1, 0) != 0) _exit(100);
      _exit(body());
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }
  std::string name_;
};

TEST_F(Boardsim, BadInputGivesUsageAndExitTwoNeverACrash) {
  for (const char *args : {"",
                           "bogus",
                           "peek",
                           "peek 0xZZ",
                           "peek 12abc",
                           "peek 0x10000",
                           "peek 0x3",
                           "poke 4",
                           "stuck 0x38 32 0",
                           "stuck 0x38 1 2",
                           "noack 0x50",
                           "noack 0x1FF",
                           "badbyte 0xA0 0",
                           "fail-init -1",
                           "fail-map x",
                           "chain set",
                           "chain set ir=4",
                           "chain set ir=4,idcode=1,idcode-ir=1,usercode=0,usercode-ir=15",
                           "chain set ir=4,,",
                           "chain set ir=8,idcode=1,idcode-ir=1,usercode=0,usercode-ir=2,kind=cpld",
                           "chain set ir=4,idcode=1,idcode-ir=1,usercode=0,usercode-ir=2,kind=fpga",
                           "fpga now",
                           "trace sideways",
                           "set-id 0x100000000",
                           "remove now",
                           "i2c-peek 0x50 0"}) {
    const Result r = run(args);
    EXPECT_EQ(r.status, 2) << args;
    EXPECT_NE(r.err.find("usage: boardsim"), std::string::npos) << args;
    EXPECT_TRUE(r.out.empty()) << args;
  }
}

TEST_F(Boardsim, HelpGoesToStandardOutput) {
  const Result r = run("--help");
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.out.find("trace show [OPTIONS]"), std::string::npos);
  // The rows are laid out in two columns; a help text of two lines keeps the second under the
  // first.
  const std::string indent(40, ' ');
  EXPECT_NE(r.out.find("\n  peek ADDR                             print a register\n"),
            std::string::npos);
  EXPECT_NE(r.out.find("\n  chain set DEVICE...                   DEVICE: ir=N,idcode=X,"
                       "idcode-ir=X,usercode=X,usercode-ir=X\n" +
                       indent + "[,capture=X][,kind=fixed|fpga][,instr="),
            std::string::npos);
  EXPECT_NE(r.out.find("  remove                                delete the board\n"
                       "  --help, --version                     this text, the program's "
                       "version\n"),
            std::string::npos);
  EXPECT_TRUE(r.out.ends_with("the same seed repeats a run).\n"));
}

TEST_F(Boardsim, IdentityIsSetAndResetRestoresThePowerOnWord) {
  ASSERT_EQ(run("set-id 0x12345678").status, 0);
  EXPECT_EQ(run("i2c-peek 0xA0 0").out, "0x78\n");
  EXPECT_EQ(run("i2c-peek 0xA0 3").out, "0x12\n");
  ASSERT_EQ(run("reset").status, 0);
  EXPECT_EQ(run("i2c-peek 0xA0 3").out, "0x20\n");
  EXPECT_EQ(run("i2c-peek 0xA0 2").out, "0x02\n");
}

TEST_F(Boardsim, PeekPokeAcceptHexAndDecimal) {
  ASSERT_EQ(run("poke 0x10F8 4660").status, 0);
  EXPECT_EQ(run("peek 4344").out, "0x00001234\n");
  EXPECT_EQ(run("peek 0x3C").out, "0x00000012\n");
}

TEST_F(Boardsim, ChainIsListedReplacedAndRestored) {
  EXPECT_EQ(run("chain").out,
            "DEVICE 0 IR 10 IDCODE 0x028120DD IDCODE-IR 0x006 USERCODE 0x00C3F557 USERCODE-IR "
            "0x007 KIND fpga\n"
            "DEVICE 1 IR 6 IDCODE 0x13631093 IDCODE-IR 0x09 USERCODE 0x4B455348 USERCODE-IR 0x08 "
            "KIND fixed\n");
  ASSERT_EQ(run("chain set ir=8,idcode=0x0A0B0C0D,idcode-ir=0x01,usercode=7,usercode-ir=0x02 "
                "ir=10,idcode=0x028120DD,idcode-ir=0x006,usercode=0x00C3F557,usercode-ir=0x007")
                .status,
            0);
  EXPECT_EQ(run("chain").out,
            "DEVICE 0 IR 8 IDCODE 0x0A0B0C0D IDCODE-IR 0x01 USERCODE 0x00000007 USERCODE-IR 0x02 "
            "KIND fixed\n"
            "DEVICE 1 IR 10 IDCODE 0x028120DD IDCODE-IR 0x006 USERCODE 0x00C3F557 USERCODE-IR "
            "0x007 KIND fixed\n");
  // The new chain answers on the bus: IDCODEs after reset, TDO-side device first.
  EXPECT_EQ(with_bus([] {
              lb_write_word(0, 0x10);
              for (uint32_t v : {0x7Fu, 0x7Fu, 0x7Fu, 0x7Fu, 0x7Fu, 0x3Fu, 0x7Fu, 0x3Fu, 0x3Fu})
                lb_write_word(4, v);
              uint32_t ids[2] = {0, 0};
              for (int i = 0; i < 64; ++i) {
                uint32_t v = 0;
                lb_read_word(4, &v);
                ids[i / 32] |= ((v >> 3) & 1u) << (i % 32);
                lb_write_word(4, 0x3F);
              }
              return ids[0] == 0x028120DD && ids[1] == 0x0A0B0C0D ? 0 : 1;
            }),
            0);
  ASSERT_EQ(run("reset").status, 0);
  EXPECT_EQ(run("chain").out.substr(0, 19), "DEVICE 0 IR 10 IDCO");
}

// Clocks the FPGA of the default chain through the port: START, LOAD, one DR scan of a frame
// around the bytes 1..8 (device 1's bypass bit first), END. Starts in Test-Logic-Reset.
int configure_fpga_bytes_1_to_8() {
  lb_write_word(0, 0x10);
  const auto clock = [](int tms, int tdi) {
    lb_write_word(4, (tms ? 0x40u : 0u) | (tdi ? 0x80u : 0u));
  };
  const auto instruction = [&](uint32_t code) {
    for (int tms : {1, 1, 0, 0}) clock(tms, 0);
    for (int i = 0; i < 16; ++i) clock(i == 15, i < 6 ? 1 : (code >> (i - 6)) & 1);
    clock(1, 0);
    clock(0, 0);
  };
  clock(0, 0);
  instruction(0x010);
  instruction(0x011);
  std::vector<int> bits = {1};
  const auto word = [&](uint32_t w) {
    for (int i = 0; i < 32; ++i) bits.push_back((w >> i) & 1);
  };
  word(lbsim::kFpgaSyncWord);
  word(64);
  word(0x04030201);
  word(0x08070605);
  word(0x3FCA88C5);  // CRC-32 of the bytes 1..8
  for (int tms : {1, 0, 0}) clock(tms, 0);
  for (size_t i = 0; i < bits.size(); ++i) clock(i + 1 == bits.size(), bits[i]);
  clock(1, 0);
  clock(0, 0);
  instruction(0x012);
  return 0;
}

TEST_F(Boardsim, FpgaShowsTheStateAProgramLeftIt) {
  EXPECT_EQ(run("fpga").out, "FPGA 0 CONFIGURED no BUSY no BITS 0 CRC 0x00000000 ERROR none\n");
  ASSERT_EQ(with_bus(configure_fpga_bytes_1_to_8), 0);
  const Result r = run("fpga");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "FPGA 0 CONFIGURED yes BUSY no BITS 64 CRC 0x3FCA88C5 ERROR none\n");
  ASSERT_EQ(run("reset").status, 0);
  EXPECT_EQ(run("fpga").out, "FPGA 0 CONFIGURED no BUSY no BITS 0 CRC 0x00000000 ERROR none\n");
}

TEST_F(Boardsim, FpgaKindIsChosenPerDeviceAndAChainWithoutOneSaysSo) {
  ASSERT_EQ(run("chain set ir=6,idcode=0x13631093,idcode-ir=0x09,usercode=0,usercode-ir=0x08 "
                "ir=8,idcode=0x0A0B0C0D,idcode-ir=0x01,usercode=7,usercode-ir=0x02,kind=fpga")
                .status,
            0);
  EXPECT_EQ(run("chain").out,
            "DEVICE 0 IR 6 IDCODE 0x13631093 IDCODE-IR 0x09 USERCODE 0x00000000 USERCODE-IR 0x08 "
            "KIND fixed\n"
            "DEVICE 1 IR 8 IDCODE 0x0A0B0C0D IDCODE-IR 0x01 USERCODE 0x00000007 USERCODE-IR 0x02 "
            "KIND fpga\n");
  EXPECT_EQ(run("fpga").out, "FPGA 1 CONFIGURED no BUSY no BITS 0 CRC 0x00000000 ERROR none\n");
  ASSERT_EQ(
      run("chain set ir=6,idcode=0x13631093,idcode-ir=0x09,usercode=0,usercode-ir=0x08,kind=fixed")
          .status,
      0);
  const Result r = run("fpga");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "boardsim: the chain has no FPGA\n");
}

TEST_F(Boardsim, TraceShowsWhatProgramsDidInTheDocumentedFormat) {
  ASSERT_EQ(run("trace on").status, 0);
  EXPECT_EQ(with_bus([] {
              uint32_t v;
              lb_write_word(0x38, 0x5);
              lb_read_word(0x3C, &v);
              lb_write_word(0x14, 0xFF);
              lb_write_word(0x10, 0xE9);
              return 0;
            }),
            0);
  EXPECT_EQ(run("trace show").out,
            "W 0x0038 0x00000005\n"
            "R 0x003C 0x00000012\n"
            "W 0x0014 0x000000FF\n"
            "LINES 0x00 DIR 0xFF\n"
            "W 0x0010 0x000000E9\n"
            "SEL WRITE 2 0x9\n"
            "LINES 0xE9 DIR 0xFF\n");
  ASSERT_EQ(run("trace clear").status, 0);
  EXPECT_EQ(run("trace show").out, "");
  ASSERT_EQ(run("trace off").status, 0);
  EXPECT_EQ(with_bus([] { return lb_write_word(0x38, 1); }), 0);
  EXPECT_EQ(run("trace show").out, "");
}

TEST_F(Boardsim, FaultsReachProgramsAndStayUntilReset) {
  ASSERT_EQ(run("stuck 0x20F8 5 0").status, 0);
  ASSERT_EQ(run("fail-access 0x30F8").status, 0);
  const auto check = [] {
    uint32_t v = 0;
    lb_write_word(0x20F8, 0xFFFFFFFF);
    lb_read_word(0x20F8, &v);
    if (v != 0xFFFFFFDF) return 1;
    if (lb_read_word(0x30F8, &v) == 0) return 2;
    return 0;
  };
  EXPECT_EQ(with_bus(check), 0);
  ASSERT_EQ(run("reset").status, 0);
  EXPECT_NE(with_bus(check), 0);
}

TEST_F(Boardsim, InitAndMapFaultsGiveTheirErrno) {
  ASSERT_EQ(run("fail-init 19").status, 0);
  EXPECT_EQ(with_bus([] { return 0; }), 100);
  ASSERT_EQ(run("fail-init 0").status, 0);
  ASSERT_EQ(run("fail-map").status, 0);
  EXPECT_EQ(with_bus([] { return 0; }), 100);
  ASSERT_EQ(run("reset").status, 0);
  EXPECT_EQ(with_bus([] { return 0; }), 0);
}

TEST_F(Boardsim, I2cFaultsAreSetOnTheNamedDevice) {
  ASSERT_EQ(run("noack 0x42").status, 0);
  ASSERT_EQ(run("badbyte 0xA1 0x80").status, 0);
  auto board = lbsim::BoardControl::open(name_);
  ASSERT_TRUE(board);
  auto lock = board->hold_lock();
  const lbsim::BoardState &s = board->state_unlocked();
  EXPECT_EQ(s.i2c_devices[2].noack, 1);
  EXPECT_EQ(s.i2c_devices[0].bad_xor, 0x80);
  EXPECT_EQ(s.i2c_devices[1].noack, 0);
}

TEST_F(Boardsim, FaultOptionsReachTheBoardAndBadOnesAreUsageErrors) {
  ASSERT_EQ(run("fail-access 0x10 read --every 3").status, 0);
  ASSERT_EQ(run("stuck 0x38 4 1 --prob 0.5 --seed 9").status, 0);
  ASSERT_EQ(run("noack 0x40 --every 2").status, 0);
  ASSERT_EQ(run("badbyte 0xA0 0x02 --only 0x17").status, 0);
  ASSERT_EQ(run("i2c-hang receive").status, 0);
  {
    auto board = lbsim::BoardControl::open(name_);
    ASSERT_TRUE(board);
    auto lock = board->hold_lock();
    const lbsim::BoardState &s = board->state_unlocked();
    ASSERT_EQ(s.faults.register_count, 2u);
    EXPECT_EQ(s.faults.registers[0].ops, lbsim::kFaultOnRead);
    EXPECT_EQ(s.faults.registers[0].when.every, 3u);
    EXPECT_EQ(s.faults.registers[1].stuck1, 0x10u);
    EXPECT_EQ(s.faults.registers[1].when.prob_ppm, lbsim::kPpm / 2);
    EXPECT_EQ(s.faults.registers[1].when.rng, 9u);
    EXPECT_EQ(s.i2c_devices[1].noack_when.every, 2u);
    EXPECT_EQ(s.i2c_devices[0].bad_only, 1);
    EXPECT_EQ(s.i2c_devices[0].bad_value, 0x17);
    EXPECT_EQ(s.i2c.hang_steps, lbsim::kI2cStepReceive);
  }
  for (const char *args :
       {"fail-access 0x10 sideways", "stuck 0x38 4 1 --every 0", "stuck 0x38 4 1 --prob 1.5",
        "noack 0x40 --seed 3", "noack 0x40 --every 2 --prob 0.1", "badbyte 0xA0 --only",
        "i2c-hang forever", "clear", "clear stuck", "clear nothing 1", "i2c-timing 0",
        "i2c-timing reads 0", "i2c-timing slow", "trace on --size 8", "trace show --kind sideways",
        "trace show --addr 0x10-0x8"}) {
    const Result r = run(args);
    EXPECT_EQ(r.status, 2) << args;
    EXPECT_NE(r.err.find("usage: boardsim"), std::string::npos) << args;
  }
}

// Clearing one fault must leave the registers, the EEPROM, the chain and the other faults
// as they were: only a reset wipes everything.
TEST_F(Boardsim, ClearRemovesOneFaultAndNothingElse) {
  ASSERT_EQ(run("set-id 0x20020042").status, 0);
  ASSERT_EQ(run("poke 0x20F8 0x1234").status, 0);
  ASSERT_EQ(run("stuck 0x20F8 0 1").status, 0);
  ASSERT_EQ(run("fail-access 0x30F8").status, 0);
  ASSERT_EQ(run("noack 0x42").status, 0);
  ASSERT_EQ(run("badbyte 0xA0").status, 0);
  ASSERT_EQ(run("i2c-hang stop").status, 0);
  ASSERT_EQ(run("fail-map 12").status, 0);
  ASSERT_EQ(run("chain set ir=4,idcode=0x3,idcode-ir=1,usercode=0,usercode-ir=2").status, 0);

  EXPECT_EQ(run("clear fail-access 0x30F8").status, 0);
  EXPECT_EQ(run("clear fail-access 0x30F8").status, 1) << "nothing left to clear";
  EXPECT_EQ(run("clear noack 0x42").status, 0);
  EXPECT_EQ(run("clear i2c-hang").status, 0);
  EXPECT_EQ(run("clear fail-map").status, 0);
  auto board = lbsim::BoardControl::open(name_);
  ASSERT_TRUE(board);
  EXPECT_EQ(board->identity(), 0x20020042u);
  EXPECT_EQ(board->chain().size(), 1u);
  {
    auto lock = board->hold_lock();
    const lbsim::BoardState &s = board->state_unlocked();
    EXPECT_EQ(s.faults.register_count, 1u);  // the stuck bit
    EXPECT_EQ(s.faults.map_errno, 0);
    EXPECT_EQ(s.i2c_devices[2].noack, 0);
    EXPECT_EQ(s.i2c_devices[0].bad_xor, 0x01);
    EXPECT_EQ(s.i2c.hang_steps, 0u);
  }
  uint32_t v = 0;
  ASSERT_TRUE(board->peek(0x20F8, &v));
  EXPECT_EQ(v, 0x1234u);
  EXPECT_EQ(with_bus([] {
              uint32_t r = 0;
              if (lb_read_word(0x30F8, &r) != 0) return 1;
              lb_read_word(0x20F8, &r);
              return r == 0x1235 ? 0 : 2;
            }),
            0);
  EXPECT_EQ(run("clear stuck 0x20F8 0").status, 0);
  EXPECT_EQ(run("clear badbyte 0xA0").status, 0);
  auto lock = board->hold_lock();
  EXPECT_EQ(board->state_unlocked().faults.register_count, 0u);
}

TEST_F(Boardsim, I2cTimingIsShownAndSet) {
  EXPECT_EQ(run("i2c-timing").out, "I2C BYTE 100000 NS\n");
  ASSERT_EQ(run("i2c-timing reads 4").status, 0);
  EXPECT_EQ(run("i2c-timing").out, "I2C STEP ENDS AFTER 4 STATUS READS\n");
  // The fourth status read after a start is the first to show done.
  EXPECT_EQ(with_bus([] {
              lb_write_word(8, 0x80);
              uint32_t s = 0;
              for (int i = 1; i <= 3; ++i) {
                lb_read_word(8, &s);
                if (s & 4) return i;
              }
              lb_read_word(8, &s);
              return s & 4 ? 0 : 9;
            }),
            0);
  ASSERT_EQ(run("i2c-timing 250").status, 0);
  EXPECT_EQ(run("i2c-timing").out, "I2C BYTE 250000 NS\n");
  ASSERT_EQ(run("i2c-timing instant").status, 0);
  EXPECT_EQ(run("i2c-timing").out, "I2C INSTANT\n");
  ASSERT_EQ(run("reset").status, 0);
  EXPECT_EQ(run("i2c-timing").out, "I2C BYTE 100000 NS\n");
}

TEST_F(Boardsim, TraceShowFiltersFoldsAndSummarises) {
  ASSERT_EQ(run("i2c-timing instant").status, 0);
  ASSERT_EQ(run("trace on --size 64").status, 0);
  const int child = with_bus([] {
    uint32_t v;
    lb_write_word(0x38, 0x5);
    for (int i = 0; i < 1000; ++i) lb_read_word(0x38, &v);
    lb_write_word(8, 0x80);  // start, 0xA0, 0x00, restart, 0xA1, receive, stop
    lb_write_word(12, 0xA0);
    lb_write_word(12, 0x00);
    lb_write_word(8, 0x80);
    lb_write_word(12, 0xA1);
    lb_write_word(8, 0x20);
    lb_write_word(8, 0x40);
    return 0;
  });
  ASSERT_EQ(child, 0);
  const Result all = run("trace show");
  EXPECT_EQ(std::count(all.out.begin(), all.out.end(), '\n'), 1 + 1000 + 7 + 7);
  EXPECT_EQ(run("trace show --fold --addr 0x38").out,
            "W 0x0038 0x00000005\nR 0x0038 0x00000005 x1000\n");
  EXPECT_EQ(run("trace show --kind i2c").out,
            "I2C START\nI2C BYTE 0xA0 ACK\nI2C BYTE 0x00 ACK\nI2C RESTART\n"
            "I2C BYTE 0xA1 ACK\nI2C RECV 0x00\nI2C STOP\n");
  EXPECT_EQ(run("trace show --kind write --addr 0x8-0xC").out,
            "W 0x0008 0x00000080\nW 0x000C 0x000000A0\nW 0x000C 0x00000000\n"
            "W 0x0008 0x00000080\nW 0x000C 0x000000A1\nW 0x0008 0x00000020\n"
            "W 0x0008 0x00000040\n");
  EXPECT_EQ(run("trace show --pid 1").out, "");
  const std::string times = run("trace show --times --fold --kind write").out;
  EXPECT_NE(times.find(" W 0x0038 0x00000005\n"), std::string::npos) << times;
  EXPECT_EQ(run("trace show --summary").out,
            "ADDR 0x0008 READS 0 WRITES 4 FAILED 0\n"
            "ADDR 0x000C READS 0 WRITES 3 FAILED 0\n"
            "ADDR 0x0038 READS 1000 WRITES 1 FAILED 0\n"
            "TCK 0 CYCLES TMS-HIGH 0\n"
            "I2C S, 0xA0 W ACK, 0x00 ACK, Sr, 0xA1 R ACK, RECV 0x00, P\n");
}

TEST_F(Boardsim, LongTraceKeepsItsBeginningAndMarksTheGap) {
  ASSERT_EQ(run("trace on --size 16").status, 0);
  ASSERT_EQ(with_bus([] {
              for (uint32_t i = 0; i < 100; ++i) lb_write_word(0x38, i);
              return 0;
            }),
            0);
  const Result r = run("trace show");
  const std::vector<std::string> lines = zoltest::lines_of(r.out);
  ASSERT_EQ(lines.size(), 17u);
  EXPECT_EQ(lines[0], "W 0x0038 0x00000000");
  EXPECT_EQ(lines[3], "W 0x0038 0x00000003");
  EXPECT_EQ(lines[4], "DROPPED 84");
  EXPECT_EQ(lines[5], "W 0x0038 0x00000058");
  EXPECT_EQ(lines[16], "W 0x0038 0x00000063");
  EXPECT_NE(r.err.find("84 records after the first 4 were dropped"), std::string::npos);
}

// A child of the test that takes the board's lock and keeps it; stopped with SIGSTOP it
// stands for a program suspended with Ctrl-Z or held in a debugger. Always continued and
// killed at the end, whatever the test found.
class LockHolder {
 public:
  explicit LockHolder(const std::string &board) {
    int ready[2];
    if (pipe(ready) != 0) return;
    fflush(nullptr);
    pid_ = fork();
    if (pid_ == 0) {
      close(ready[0]);
      auto control = lbsim::BoardControl::open(board);
      if (!control) _exit(1);
      auto lock = control->hold_lock();
      if (write(ready[1], "x", 1) != 1) _exit(1);
      for (;;) pause();
    }
    close(ready[1]);
    char c = 0;
    held_ = pid_ > 0 && read(ready[0], &c, 1) == 1;
    close(ready[0]);
  }
  ~LockHolder() { end(); }
  LockHolder(const LockHolder &) = delete;
  LockHolder &operator=(const LockHolder &) = delete;

  bool held() const { return held_; }
  pid_t pid() const { return pid_; }
  void end() {
    if (pid_ <= 0) return;
    kill(pid_, SIGCONT);
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }

 private:
  pid_t pid_ = -1;
  bool held_ = false;
};

TEST_F(Boardsim, StoppedLockHolderIsNamedAfterASecond) {
  ASSERT_EQ(run("reset").status, 0);
  LockHolder holder(name_);
  ASSERT_TRUE(holder.held());
  ASSERT_EQ(kill(holder.pid(), SIGSTOP), 0);
  const std::string named = "process " + std::to_string(holder.pid()) + " (boardsim_test)";

  const Result r = run("peek 0x38");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_NE(r.err.find("boardsim: board '" + name_ + "' is locked by " + named), std::string::npos)
      << r.err;

  // A program's bus access waits on, says once whom it waits for, and goes on when the
  // lock comes free (here: its holder dies).
  zoltest::Process program({zoltest::bin("chainmux"), "-R", "1"}, {{"LB_SIM", name_}},
                           {"LB_DEVICE"});
  const std::string waiting = "waiting for its lock, held by " + named;
  EXPECT_TRUE(program.wait_err(
      [&](const std::string &err) { return err.find(waiting) != std::string::npos; }, 10s))
      << program.err();
  holder.end();
  const auto status = program.wait_exit(10s);
  ASSERT_TRUE(status.has_value());
  EXPECT_EQ(*status, 0) << program.err();
  EXPECT_EQ(program.out(), "Add 0x1  : Value 0x0\nAdd 0x1  : Value 0\n");
  const std::string err = program.err();
  size_t said = 0;
  for (size_t at = err.find(waiting); at != std::string::npos; at = err.find(waiting, at + 1))
    ++said;
  EXPECT_EQ(said, 1u) << err;
  EXPECT_EQ(run("peek 0x38").status, 0);
}

TEST_F(Boardsim, ByteCodeReadsADeviceRegisterOfItsOwn) {
  const std::string jbc = "/tmp/" + name_ + ".jbc";
  const Result assembled =
      zoltest::run({zoltest::bin("stapl"), "asm",
                    ZOL_SOURCE_DIR "/tools/src/boardsim/tests/status_register.stapl", "-o", jbc},
                   {});
  ASSERT_EQ(assembled.status, 0) << assembled.err;
  const std::string device1 = "ir=6,idcode=0x13631093,idcode-ir=0x09,usercode=0x1,usercode-ir=0x08";
  // Status bit 100 set: configuration done; bits 0 and 2 expected to be shifted in.
  const std::string done =
      "ir=10,idcode=0x028120DD,idcode-ir=0x006,usercode=0x1,usercode-ir=0x007,kind=fpga,"
      "instr=0x004:494:capture=0x10_0000_0000_0000_0000_0000_0001:expect=0x5";
  ASSERT_EQ(run("chain set " + done + " " + device1).status, 0);
  ASSERT_EQ(run("trace on").status, 0);
  Result played =
      zoltest::run({zoltest::bin("stapl"), "run", "-acheck_status", jbc}, {{"LB_SIM", name_}});
  EXPECT_NE(played.out.find("Exit code = 0... Success"), std::string::npos) << played.out;
  EXPECT_EQ(run("trace show --kind tap").out, "TAP 0 IR 0x004\nTAP 0 DR 0x004 495 BITS EXPECTED\n");
  EXPECT_NE(run("chain").out.find("DEVICE 0 INSTR 0x004 BITS 494 EXPECT\n"), std::string::npos);

  // The same register with the done bit clear: the program says so.
  const std::string not_done =
      "ir=10,idcode=0x028120DD,idcode-ir=0x006,usercode=0x1,usercode-ir=0x007,kind=fpga,"
      "instr=0x004:494:capture=0x1:expect=0x4";
  ASSERT_EQ(run("chain set " + not_done + " " + device1).status, 0);
  ASSERT_EQ(run("trace clear").status, 0);
  played = zoltest::run({zoltest::bin("stapl"), "run", "-acheck_status", jbc}, {{"LB_SIM", name_}});
  EXPECT_NE(played.out.find("Configuration done bit is clear"), std::string::npos) << played.out;
  EXPECT_EQ(played.out.find("Exit code = 0"), std::string::npos) << played.out;
  EXPECT_EQ(run("trace show --kind tap").out,
            "TAP 0 IR 0x004\nTAP 0 DR 0x004 495 BITS UNEXPECTED\n");
  std::remove(jbc.c_str());

  for (const char *bad :
       {"instr=0x3FF:8:capture=0x1", "instr=0x006:8:capture=0x1", "instr=0x004:0:capture=0x1",
        "instr=0x004:4097:capture=0x1", "instr=0x004:4:capture=0x10", "instr=0x004:4",
        "instr=0x004:8:capture=0xG", "instr=0x011:8:capture=0x1"}) {
    const std::string device =
        std::string("ir=10,idcode=0x3,idcode-ir=0x006,usercode=0x1,usercode-ir=0x007,kind=fpga,") +
        bad;
    EXPECT_EQ(run("chain set " + device).status, 2) << bad;
  }
}

TEST_F(Boardsim, RemoveDeletesTheBoard) {
  ASSERT_EQ(run("reset").status, 0);
  struct stat st;
  const std::string path = "/dev/shm/lbsim." + name_;
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  EXPECT_EQ(run("remove").status, 0);
  EXPECT_NE(stat(path.c_str(), &st), 0);
  EXPECT_EQ(run("remove").status, 0);  // nothing left to remove is not an error
}

}  // namespace
