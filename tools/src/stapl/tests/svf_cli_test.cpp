// `stapl run --svf` and `stapl svf` end to end: a run recorded on one simulated board and
// played back on a fresh one must clock the same TCK cycles (TMS, TDI and the TDO the chain
// answered), as the boards' traces show.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "testing/sim_board.h"

namespace {

namespace fs = std::filesystem;

const std::string kIdcode = std::string(ZOL_BUILD_DIR) + "/stapl-examples/idcode.jbc";
const std::string kGood = FPGA_CONFIGURE_GOOD_JBC;
const std::string kWrongIdcode = FPGA_CONFIGURE_WRONG_IDCODE_JBC;

bool contains(const std::string &text, const std::string &part) {
  return text.find(part) != std::string::npos;
}

class StaplSvf : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / zoltest::unique_board_name("stapl-svf");
    fs::create_directories(dir_);
    for (zoltest::SimBoard *b : {&original_, &replay_}) {
      // A whole download with room to spare: nothing may be dropped from what is compared.
      ASSERT_TRUE(b->control().trace_set_capacity(1u << 20));
      b->control().trace_on(true);
    }
  }
  void TearDown() override { fs::remove_all(dir_); }

  std::string path(const std::string &name) const { return (dir_ / name).string(); }

  static std::vector<std::string> tck_lines(zoltest::SimBoard &board) {
    EXPECT_EQ(board.control().trace_dropped(), 0u) << "the trace lost records";
    return board.trace({"TCK "});
  }

  static void expect_same_tck(zoltest::SimBoard &a, zoltest::SimBoard &b) {
    const std::vector<std::string> want = tck_lines(a), got = tck_lines(b);
    ASSERT_FALSE(want.empty());
    size_t i = 0;
    while (i < want.size() && i < got.size() && want[i] == got[i]) ++i;
    EXPECT_EQ(i, want.size()) << "cycle " << i << " of " << want.size()
                              << " differs: " << (i < want.size() ? want[i] : "(none)") << " vs "
                              << (i < got.size() ? got[i] : "(none)");
    EXPECT_EQ(got.size(), want.size());
  }

  zoltest::RunResult record(const std::vector<std::string> &args, const std::string &svf) {
    std::vector<std::string> all = {"run", "--svf", path(svf)};
    all.insert(all.end(), args.begin(), args.end());
    return zoltest::run_tool("stapl", all, original_.name());
  }
  zoltest::RunResult play(const std::string &svf) {
    return zoltest::run_tool("stapl", {"svf", path(svf)}, replay_.name());
  }

  fs::path dir_;
  // Two boards: the default names would be one and the same board for the whole test.
  zoltest::SimBoard original_{zoltest::unique_board_name("svf-original")};
  zoltest::SimBoard replay_{zoltest::unique_board_name("svf-replay")};
};

TEST_F(StaplSvf, ConfigureAndVerifyReplayOnAFreshBoardCycleForCycle) {
  ASSERT_EQ(record({kGood}, "configure.svf").status, 0);
  ASSERT_EQ(record({"-averify", kGood}, "verify.svf").status, 0);
  const zoltest::RunResult c = play("configure.svf");
  EXPECT_EQ(c.status, 0) << c.out << c.err;
  EXPECT_TRUE(contains(c.out, "SVF played: ")) << c.out;
  // verify compares the FPGA's bit count and CRC: it passes only on a configured board.
  const zoltest::RunResult v = play("verify.svf");
  EXPECT_EQ(v.status, 0) << v.out << v.err;
  expect_same_tck(original_, replay_);
  const auto fpgas = replay_.control().fpgas();
  ASSERT_FALSE(fpgas.empty());
  EXPECT_TRUE(fpgas.front().state.configured);
}

TEST_F(StaplSvf, ExampleProgramsAndAFailedRunReplayCycleForCycle) {
  ASSERT_EQ(record({"-aread_idcode", "-dread_usercodes=1", kIdcode}, "idcode.svf").status, 0);
  // A run that ends with "Unrecognized device" is recorded up to its end all the same.
  ASSERT_EQ(record({kWrongIdcode}, "wrong.svf").status, 1);
  EXPECT_EQ(play("idcode.svf").status, 0);
  EXPECT_EQ(play("wrong.svf").status, 0);
  expect_same_tck(original_, replay_);
}

TEST_F(StaplSvf, AnAlteredTdoIsReportedWithItsLineAndBits) {
  ASSERT_EQ(record({"-aread_idcode", kIdcode}, "idcode.svf").status, 0);
  std::ifstream in(path("idcode.svf"));
  std::vector<std::string> lines;
  for (std::string l; std::getline(in, l);) lines.push_back(l);
  // The IDCODE scan's expected TDO: flip its lowest digit's bit 0.
  size_t at = 0;
  while (at < lines.size() && !contains(lines[at], "TDO (")) ++at;
  ASSERT_LT(at, lines.size());
  std::string &line = lines[at];
  const size_t close = line.find(')');
  char &digit = line[close - 1];
  const int value = std::stoi(std::string(1, digit), nullptr, 16) ^ 1;
  digit = "0123456789ABCDEF"[value];
  std::ofstream out(path("altered.svf"));
  for (const std::string &l : lines) out << l << "\n";
  out.close();
  // The statement starts on the line before its TDO.
  const int statement_line = static_cast<int>(at);
  const zoltest::RunResult r = play("altered.svf");
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(
      contains(r.out, "SVF line " + std::to_string(statement_line) + ": TDO mismatch in SDR of "))
      << r.out;
  EXPECT_TRUE(contains(r.out, "bit 0: expected ")) << r.out;
  EXPECT_FALSE(contains(r.out, "SVF played:")) << r.out;
}

TEST_F(StaplSvf, UsageAndUnreadableFiles) {
  EXPECT_EQ(zoltest::run_tool("stapl", {"svf"}, replay_.name()).status, 2);
  EXPECT_EQ(zoltest::run_tool("stapl", {"svf", "--help"}, replay_.name()).status, 0);
  const zoltest::RunResult missing =
      zoltest::run_tool("stapl", {"svf", path("none.svf")}, replay_.name());
  EXPECT_EQ(missing.status, 1);
  EXPECT_TRUE(contains(missing.err, "cannot read")) << missing.err;
  const zoltest::RunResult unwritable = zoltest::run_tool(
      "stapl", {"run", "--svf", path("no/such/dir.svf"), kIdcode}, replay_.name());
  EXPECT_EQ(unwritable.status, 1);
  EXPECT_TRUE(contains(unwritable.err, "cannot write")) << unwritable.err;
}

}  // namespace
