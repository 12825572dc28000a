// boardsim as a user runs it: exit codes, printed lines, and the board it changes.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "platform/lb/lb.h"
#include "platform/lb/sim/board_control.h"
#include "testing/process.h"

namespace {

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
  EXPECT_NE(r.out.find("trace on|off|show|clear"), std::string::npos);
  // The rows are laid out in two columns; a help text of two lines keeps the second under the
  // first.
  EXPECT_NE(r.out.find("\n  peek ADDR                   print a register\n"), std::string::npos);
  EXPECT_NE(r.out.find("\n  chain set DEVICE...         DEVICE: ir=N,idcode=X,idcode-ir=X,"
                       "usercode=X,usercode-ir=X\n                              "
                       "[,capture=X][,kind=fixed|fpga]\n  fpga "),
            std::string::npos);
  EXPECT_TRUE(
      r.out.ends_with("  remove                      delete the board\n"
                      "  --help, --version           this text, the program's version\n"
                      "Numbers: 0x-hex or decimal. Faults and chain settings stay until "
                      "reset.\n"));
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
