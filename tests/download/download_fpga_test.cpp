// Configuring the simulated FPGA from a station: what the board ends up holding, what the
// server publishes and what fpgaload says, for good, corrupted and foreign configurations.
#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <sstream>

#include "tests/download/download_station.h"

namespace zoltest {
namespace {

// The generator's sidecar: "bits N", "data_crc 0x...", ...
std::map<std::string, std::string> sidecar(const std::string &path) {
  std::ifstream in(path);
  EXPECT_TRUE(in.good()) << path;
  std::map<std::string, std::string> fields;
  std::string key, value;
  while (in >> key >> value) fields[key] = value;
  return fields;
}

std::string fpga_state(World &world) { return world.boardsim({"fpga"}); }

std::string configured_line(const std::map<std::string, std::string> &expected) {
  char crc[16];
  std::snprintf(crc, sizeof crc, "0x%08X",
                static_cast<unsigned>(std::stoul(expected.at("data_crc"), nullptr, 16)));
  return "FPGA 0 CONFIGURED yes BUSY no BITS " + expected.at("bits") + " CRC " + crc +
         " ERROR none";
}

TEST(FpgaDownload, GoodConfigurationLeavesTheFpgaHoldingExactlyTheBitsSent) {
  DownloadBench bench("fpga_good");
  RunResult r = bench.load(FPGA_CONFIGURE_GOOD_JBC);
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_NE(r.out.find("FPGALoadStatus 1: loaded"), std::string::npos) << r.out;
  ASSERT_TRUE(bench.wait_status_lines(1));
  std::string log = bench.server_log();
  EXPECT_NE(log.find("Exit code = 0... Success\n"), std::string::npos) << log;
  EXPECT_NE(log.find("Status 1\n"), std::string::npos) << log;
  std::string state = fpga_state(bench.world());
  EXPECT_NE(state.find(configured_line(sidecar(FPGA_CONFIGURE_GOOD_TXT))), std::string::npos)
      << state;
}

TEST(FpgaDownload, CorruptedConfigurationPublishesFailureAndLeavesItUnconfigured) {
  DownloadBench bench("fpga_corrupt");
  RunResult r = bench.load(FPGA_CONFIGURE_CORRUPT_JBC);
  EXPECT_EQ(r.status, 1) << r.out << r.err;
  EXPECT_NE(r.out.find("FPGALoadStatus 2: load failed"), std::string::npos) << r.out;
  ASSERT_TRUE(bench.wait_status_lines(1));
  std::string log = bench.server_log();
  EXPECT_NE(log.find("Exit code = 10... Device programming failure\n"), std::string::npos) << log;
  EXPECT_NE(log.find("Status 2\n"), std::string::npos) << log;
  std::string state = fpga_state(bench.world());
  EXPECT_NE(state.find("FPGA 0 CONFIGURED no"), std::string::npos) << state;
  EXPECT_NE(state.find("ERROR crc-mismatch"), std::string::npos) << state;
}

TEST(FpgaDownload, ForeignIdcodeIsAnUnrecognizedDeviceAndTouchesNothing) {
  DownloadBench bench("fpga_idcode");
  RunResult r = bench.load(FPGA_CONFIGURE_WRONG_IDCODE_JBC);
  EXPECT_EQ(r.status, 1) << r.out << r.err;
  ASSERT_TRUE(bench.wait_status_lines(1));
  std::string log = bench.server_log();
  EXPECT_NE(log.find("Exit code = 6... Unrecognized device\n"), std::string::npos) << log;
  std::string state = fpga_state(bench.world());
  EXPECT_NE(state.find("FPGA 0 CONFIGURED no BUSY no BITS 0"), std::string::npos) << state;
}

TEST(FpgaDownload, ConsecutiveLoadsEachPublishTheirOwnOutcome) {
  DownloadBench bench("fpga_sequence");
  EXPECT_EQ(bench.load(FPGA_CONFIGURE_GOOD_JBC).status, 0);
  EXPECT_EQ(bench.load(FPGA_CONFIGURE_GOOD_JBC).status, 0);
  EXPECT_EQ(bench.load(FPGA_CONFIGURE_CORRUPT_JBC).status, 1);
  EXPECT_EQ(bench.load(FPGA_CONFIGURE_NO_ACTION_JBC, {"-F"}).status, 1);  // not refused here
  EXPECT_EQ(bench.load(FPGA_CONFIGURE_GOOD_JBC).status, 0);
  std::string state = fpga_state(bench.world());
  EXPECT_NE(state.find(configured_line(sidecar(FPGA_CONFIGURE_GOOD_TXT))), std::string::npos)
      << state;
}

TEST(FpgaDownload, FileOfEightMebibytesLoadsEndToEnd) {
  std::ifstream big(FPGA_CONFIGURE_BIG_JBC, std::ios::binary | std::ios::ate);
  ASSERT_TRUE(big.good());
  ASSERT_GE(static_cast<long long>(big.tellg()), 8ll << 20);
  DownloadBench bench("fpga_big");
  RunResult r = bench.load(FPGA_CONFIGURE_BIG_JBC, {}, 600s);
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  std::string state = fpga_state(bench.world());
  EXPECT_NE(state.find(configured_line(sidecar(FPGA_CONFIGURE_BIG_TXT))), std::string::npos)
      << state;
}

}  // namespace
}  // namespace zoltest
