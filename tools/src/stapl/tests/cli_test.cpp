// The `stapl` program as a user runs it: help texts, assembler errors, the listing, and
// `stapl run` end to end on a simulated board of the test's own, with the driver's lines
// and exit statuses.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "testing/process.h"

namespace {

using namespace std::chrono_literals;

namespace fs = std::filesystem;

const std::string kStapl = std::string(ZOL_BIN_DIR) + "/stapl";
const std::string kBoardsim = std::string(ZOL_BIN_DIR) + "/boardsim";
const std::string kIdcode = std::string(ZOL_BUILD_DIR) + "/stapl-examples/idcode.jbc";

using Outcome = zoltest::RunResult;

class StaplCli : public ::testing::Test {
 protected:
  void SetUp() override {
    const auto *info = ::testing::UnitTest::GetInstance()->current_test_info();
    board_ = "stapl-cli-" + std::to_string(getpid()) + "-" + info->name();
    dir_ = fs::temp_directory_path() / board_;
    fs::create_directories(dir_);
  }
  void TearDown() override {
    run(kBoardsim + " remove");
    fs::remove_all(dir_);
  }

  // Runs a command line (program path and arguments, split at blanks) with this test's own
  // simulated board.
  Outcome run(const std::string &command) {
    return zoltest::run(zoltest::words_of(command), {{"LB_SIM", board_}}, 100s);
  }

  std::string write(const std::string &name, const std::string &text) {
    std::string path = (dir_ / name).string();
    std::ofstream(path) << text;
    return path;
  }

  // Assembles `source` into a file of the test's directory and returns its path.
  std::string assemble(const std::string &source) {
    std::string src = write("prog.stapl", source);
    std::string out = (dir_ / "prog.jbc").string();
    Outcome o = run(kStapl + " asm " + src + " -o " + out);
    EXPECT_EQ(o.status, 0) << o.err;
    return out;
  }

  std::string board_;
  fs::path dir_;
};

bool contains(const std::string &text, const std::string &part) {
  return text.find(part) != std::string::npos;
}

TEST_F(StaplCli, EveryCommandExplainsItselfWithHelp) {
  for (const char *cmd : {"--help", "asm --help", "info --help", "run --help"}) {
    Outcome o = run(kStapl + " " + cmd);
    EXPECT_EQ(o.status, 0) << cmd;
    EXPECT_TRUE(contains(o.out, "Usage: stapl")) << cmd << o.out;
  }
  Outcome bad = run(kStapl + " frobnicate");
  EXPECT_EQ(bad.status, 2);
  EXPECT_TRUE(contains(bad.err, "stapl: unknown command 'frobnicate'"));
}

TEST_F(StaplCli, AsmReportsErrorsWithLineNumbersAndWritesNoFile) {
  std::string src = write("bad.stapl", ".action a = p\n.procedure p\n  PUSH_LITERAL x\n  RETURN\n");
  std::string out = (dir_ / "bad.jbc").string();
  Outcome o = run(kStapl + " asm " + src + " -o " + out);
  EXPECT_EQ(o.status, 1);
  EXPECT_EQ(o.err, src + ":3: unknown name 'x' (not a label, symbol or TAP state)\n");
  EXPECT_FALSE(fs::exists(out));
  Outcome missing = run(kStapl + " asm " + (dir_ / "none.stapl").string() + " -o " + out);
  EXPECT_EQ(missing.status, 1);
  EXPECT_TRUE(contains(missing.err, "No such file or directory"));
}

TEST_F(StaplCli, InfoListsAnAssembledExample) {
  Outcome o = run(kStapl + " info " + kIdcode);
  EXPECT_EQ(o.status, 0) << o.err;
  EXPECT_TRUE(contains(o.out, "Format: 2 (Jam STAPL byte-code)"));
  EXPECT_TRUE(contains(o.out, "      \"read_usercodes\" (optional)\n"));
  EXPECT_TRUE(contains(o.out, "       0  MOVE_STATE RESET\n"));
  EXPECT_TRUE(contains(o.out, "DRSCAN_ARRAY_CAPTURE ones, ids\n"));
  Outcome garbage = run(kStapl + " info " + write("junk", std::string(300, 'J')));
  EXPECT_EQ(garbage.status, 1);
  EXPECT_TRUE(contains(garbage.out, "Not a byte-code file"));
}

TEST_F(StaplCli, RunReadsTheIdcodesOfTheSimulatedChain) {
  Outcome chain = run(kBoardsim + " chain");
  ASSERT_EQ(chain.status, 0) << chain.err;
  // "DEVICE n IR k IDCODE 0x........ ..." per device, TDI to TDO.
  std::vector<std::string> idcodes;
  std::istringstream lines(chain.out);
  for (std::string line; std::getline(lines, line);) {
    size_t at = line.find("IDCODE 0x");
    ASSERT_NE(at, std::string::npos) << line;
    idcodes.push_back(line.substr(at + 9, 8));
  }
  ASSERT_EQ(idcodes.size(), 2u);

  Outcome o = run(kStapl + " run -aread_idcode " + kIdcode);
  EXPECT_EQ(o.status, 0) << o.out << o.err;
  EXPECT_TRUE(contains(
      o.out, "Export: key = \"IDCODE_DEVICE0\", 32 bits, value = HEX " + idcodes[0] + "\n"))
      << o.out;
  EXPECT_TRUE(contains(
      o.out, "Export: key = \"IDCODE_DEVICE1\", 32 bits, value = HEX " + idcodes[1] + "\n"));
  EXPECT_TRUE(contains(o.out, "Exit code = 0... Success\nElapsed time = 00:00:00\n"));
  EXPECT_FALSE(contains(o.out, "USERCODE"));  // optional, not asked for

  Outcome user = run(kStapl + " run -a read_idcode -d read_usercodes=1 " + kIdcode);
  EXPECT_EQ(user.status, 0);
  EXPECT_TRUE(contains(user.out, "\"USERCODE_DEVICE1\", 32 bits, value = HEX 4B455348\n"));
}

TEST_F(StaplCli, RunPrintsTheDriversFailureLinesAndExitStatuses) {
  // The example has no action "configure", the default.
  Outcome missing = run(kStapl + " run " + kIdcode);
  EXPECT_EQ(missing.status, 1);
  EXPECT_TRUE(contains(missing.out,
                       "Error: action \"configure\" is not supported for this Jam file.\n"
                       "Program terminated.\nElapsed time = 00:00:00\n"));

  std::string bad = assemble(R"(
.action configure = go
.procedure go
        NOOP
        NOOP
        NOOP
        PUSH_LITERAL 1
        DROP
        PUSH_LITERAL 2
        DROP
        .byte 0x2E              ; offset 15: no such instruction
)");
  Outcome illegal = run(kStapl + " run " + bad);
  EXPECT_EQ(illegal.status, 1);
  EXPECT_TRUE(contains(illegal.out,
                       "Error at address 15: illegal instruction code.\nProgram terminated.\n"))
      << illegal.out;

  std::string failing =
      assemble(".action configure = go\n.procedure go\n PUSH_LITERAL 10\n EXIT\n");
  Outcome exit10 = run(kStapl + " run " + failing);
  EXPECT_EQ(exit10.status, 1);
  EXPECT_TRUE(contains(exit10.out, "Exit code = 10... Device programming failure\n"));

  Outcome short_file = run(kStapl + " run " + write("short", "JAM"));
  EXPECT_EQ(short_file.status, 99);
  EXPECT_EQ(short_file.out, "Error: File format is not recognized.\n");
}

// An initial-value entry without "=" matches no procedure in the player, so the tool hands it
// on instead of refusing the run: the optional procedure stays unasked for.
TEST_F(StaplCli, RunHandsOnAnInitialValueWithoutEquals) {
  std::string file = assemble(
      ".action configure = extra optional, main\n"
      ".procedure extra\n PUSH_LITERAL 3\n EXIT\n"
      ".procedure main\n PUSH_LITERAL 0\n EXIT\n");
  Outcome bare = run(kStapl + " run -dextra " + file);
  EXPECT_EQ(bare.status, 0) << bare.out << bare.err;
  EXPECT_TRUE(contains(bare.out, "Exit code = 0... Success\n")) << bare.out;
  Outcome asked = run(kStapl + " run -dextra=1 " + file);
  EXPECT_EQ(asked.status, 1);
  EXPECT_TRUE(contains(asked.out, "Exit code = 3... Reading USERCODE failure\n")) << asked.out;
}

TEST_F(StaplCli, RunStopsAnEndlessProgramAtTheStepLimit) {
  std::string endless = assemble(".format 1\nagain: NOOP\n JUMP again\n");
  Outcome o = run(kStapl + " run --max-steps 1000 " + endless);
  EXPECT_EQ(o.status, 1);
  EXPECT_TRUE(contains(o.out, "Program terminated.\n")) << o.out;
  EXPECT_TRUE(contains(o.out,
                       "Budget exceeded: 1000 instructions.\n"
                       "Error at address 0: execution cancelled.\n"))
      << o.out;
  Outcome usage = run(kStapl + " run --max-steps none " + endless);
  EXPECT_EQ(usage.status, 2);
}

}  // namespace
