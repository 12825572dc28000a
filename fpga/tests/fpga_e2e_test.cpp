// The generated configuration files run with `stapl run` on a simulated board of the test's
// own, and the FPGA state `boardsim fpga` shows afterwards, as a user sees them.
#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>
#include <map>
#include <sstream>
#include <string>

#include "testing/process.h"

namespace {

using namespace std::chrono_literals;
using Result = zoltest::RunResult;

std::string slurp(const std::string &path) {
  std::ifstream f(path);
  std::stringstream s;
  s << f.rdbuf();
  return s.str();
}

// "key value" lines of a generator sidecar.
std::map<std::string, std::string> sidecar(const std::string &name) {
  std::map<std::string, std::string> values;
  std::istringstream lines(slurp(std::string(FPGA_FILES_DIR) + "/" + name + ".txt"));
  for (std::string key, value; lines >> key >> value;) values[key] = value;
  return values;
}

std::string jbc(const std::string &name) {
  return std::string(FPGA_FILES_DIR) + "/" + name + ".jbc";
}

bool contains(const std::string &text, const std::string &part) {
  return text.find(part) != std::string::npos;
}

class FpgaFiles : public ::testing::Test {
 protected:
  void SetUp() override {
    board_ = "t" + std::to_string(getpid()) + "-fpga-" +
             ::testing::UnitTest::GetInstance()->current_test_info()->name();
    ASSERT_EQ(run("boardsim reset").status, 0);
  }
  void TearDown() override { run("boardsim remove"); }
  // A program of <build>/bin with its arguments (split at blanks), on this test's board.
  Result run(const std::string &command) {
    std::vector<std::string> argv = zoltest::words_of(command);
    argv[0] = zoltest::bin(argv[0]);
    return zoltest::run(argv, {{"LB_SIM", board_}}, 100s, {"LB_DEVICE"});
  }
  std::string fpga_line() { return run("boardsim fpga").out; }

  std::string board_;
};

const char kUntouched[] = "FPGA 0 CONFIGURED no BUSY no BITS 0 CRC 0x00000000 ERROR none\n";

TEST_F(FpgaFiles, GoodFileConfiguresTheFpgaWithTheGeneratedBitsAndVerifies) {
  const auto expect = sidecar("configure_good");
  ASSERT_EQ(expect.at("crc"), expect.at("data_crc"));
  const Result r = run("stapl run " + jbc("configure_good"));
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_TRUE(contains(r.out, "Exit code = 0... Success\n")) << r.out;
  EXPECT_TRUE(contains(r.out, "configure \"Load the FPGA configuration\"\n"));
  EXPECT_TRUE(contains(r.out, "verify \"Check that the FPGA holds this configuration\"\n"));
  EXPECT_EQ(fpga_line(), "FPGA 0 CONFIGURED yes BUSY no BITS " + expect.at("bits") + " CRC " +
                             expect.at("crc") + " ERROR none\n");

  const Result v = run("stapl run -averify " + jbc("configure_good"));
  EXPECT_EQ(v.status, 0) << v.out;
  EXPECT_TRUE(contains(v.out, "FPGA holds this configuration: " + expect.at("bits") +
                                  " bits, CRC-32 " + expect.at("crc") + "\n"))
      << v.out;
  EXPECT_TRUE(contains(v.out, "Exit code = 0... Success\n"));
}

TEST_F(FpgaFiles, VerifyFailsOnAnUnconfiguredFpga) {
  const Result v = run("stapl run -averify " + jbc("configure_good"));
  EXPECT_EQ(v.status, 1);
  EXPECT_TRUE(contains(v.out, "FPGA is not configured\nExit code = 11... Device verify failure\n"))
      << v.out;
}

TEST_F(FpgaFiles, CorruptFileClearsTheFpgaAndLeavesItUnconfigured) {
  ASSERT_EQ(run("stapl run " + jbc("configure_good")).status, 0);
  const auto expect = sidecar("configure_corrupt");
  ASSERT_NE(expect.at("crc"), expect.at("data_crc"));
  const Result r = run("stapl run " + jbc("configure_corrupt"));
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(contains(
      r.out, "FPGA not configured, error code 4\nExit code = 10... Device programming failure\n"))
      << r.out;
  EXPECT_EQ(fpga_line(), "FPGA 0 CONFIGURED no BUSY no BITS " + expect.at("bits") + " CRC " +
                             expect.at("data_crc") + " ERROR crc-mismatch\n");
  // The good configuration that was there before is gone.
  const Result v = run("stapl run -averify " + jbc("configure_good"));
  EXPECT_TRUE(contains(v.out, "Exit code = 11... Device verify failure\n")) << v.out;
}

TEST_F(FpgaFiles, WrongIdcodeStopsBeforeTheFpgaIsTouched) {
  const Result r = run("stapl run " + jbc("configure_wrong_idcode"));
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(contains(r.out, "Export: key = \"IDCODE_DEVICE0\", 32 bits, value = HEX 028120DD\n"))
      << r.out;
  EXPECT_TRUE(contains(r.out,
                       "Device 0 is not the expected FPGA, IDCODE 0x0A0B0C0D\n"
                       "Exit code = 6... Unrecognized device\n"))
      << r.out;
  EXPECT_EQ(fpga_line(), kUntouched);
}

TEST_F(FpgaFiles, ChainWithoutTheFpgaAtDeviceZeroIsUnrecognized) {
  ASSERT_EQ(
      run("boardsim chain set ir=10,idcode=0x0A0B0C0D,idcode-ir=0x006,usercode=0,usercode-ir=0x007 "
          "ir=6,idcode=0x13631093,idcode-ir=0x09,usercode=0,usercode-ir=0x08")
          .status,
      0);
  const Result r = run("stapl run " + jbc("configure_good"));
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(contains(r.out, "Exit code = 6... Unrecognized device\n")) << r.out;
}

TEST_F(FpgaFiles, FileWithoutConfigureActionIsRefused) {
  const Result r = run("stapl run " + jbc("configure_no_action"));
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(contains(
      r.out, "\nActions available in this file:\nprogram \"Load the FPGA configuration\"\n"))
      << r.out;
  EXPECT_TRUE(contains(r.out,
                       "Error: action \"configure\" is not supported for this Jam file.\n"
                       "Program terminated.\n"))
      << r.out;
  EXPECT_EQ(fpga_line(), kUntouched);
}

}  // namespace
