// A download a station can follow and stop: the progress and report services, AbortDownload,
// RunFPGAAction through fpgaload -a, and the busy message of the station tools.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>

#include "dim/src/zol_load_records.h"
#include "platform/lb/sim/board_control.h"
#include "tests/download/download_station.h"

namespace zoltest {
namespace {

const std::string kProgress = "/ZOL/KeshV2_00/SVC/FPGALoadProgress";
const std::string kReport = "/ZOL/KeshV2_00/SVC/FPGALoadReport";

template <class Record>
Record decode(const Station::Update &u) {
  Record r{};
  std::memcpy(&r, u.words.data(), std::min(sizeof r, u.words.size() * sizeof(uint32_t)));
  return r;
}

std::string text_of(const char *field, size_t size) {
  return std::string(field, strnlen(field, size));
}

// The flavour the services publish: reflected 0xEDB88320, starting from and ending with a
// complement. Written bit by bit here, apart from the server's table-driven one.
uint32_t crc32_bitwise(const std::vector<char> &bytes) {
  uint32_t c = 0xFFFFFFFFu;
  for (char ch : bytes) {
    c ^= static_cast<uint8_t>(ch);
    for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
  }
  return ~c;
}

TEST(DownloadProgress, ArrivesDuringALongDownloadAndReachesTheFinalCount) {
  DownloadBench bench("dl_progress");
  Station station(bench.world());
  station.subscribe(kProgress);
  ASSERT_TRUE(station.wait_updates(kProgress, 1));
  EXPECT_EQ(decode<LOADPROGRESS>(station.updates(kProgress)[0]).state,
            static_cast<uint32_t>(LOAD_IDLE));

  // Its bits go out between waits of 40 million TCK cycles in all, about 1 s on this board:
  // the updates every quarter of a second come while they are being shifted. The first complete run
  // of the file teaches the server its total.
  const std::string slowly = download_file("shift_slowly");
  ASSERT_EQ(bench.load(slowly).status, 0);
  RunResult second = bench.load(slowly);
  ASSERT_EQ(second.status, 0) << second.out << second.err;

  const std::vector<char> file = read_bytes(slowly);
  std::vector<LOADPROGRESS> running;
  LOADPROGRESS last{};
  ASSERT_TRUE(wait_for(
      [&] {
        for (const auto &u : station.updates(kProgress)) {
          LOADPROGRESS p = decode<LOADPROGRESS>(u);
          if (p.download == 2 && p.state == LOAD_LOADED) last = p;
        }
        return last.download == 2;
      },
      10s));
  for (const auto &u : station.updates(kProgress)) {
    LOADPROGRESS p = decode<LOADPROGRESS>(u);
    if (p.download == 2 && p.state == LOAD_RUNNING) running.push_back(p);
  }
  // Published at the start and at least every second while the load ran.
  ASSERT_GE(running.size(), 2u);
  for (size_t i = 1; i < running.size(); ++i)
    EXPECT_GE(running[i].bits_shifted, running[i - 1].bits_shifted);
  bool part_way = false;
  for (const LOADPROGRESS &p : running) {
    EXPECT_EQ(p.bits_total, last.bits_total);
    part_way |= p.bits_shifted > 0 && p.bits_shifted < p.bits_total;
  }
  EXPECT_TRUE(part_way) << "no delivery came while the bits were being shifted";
  EXPECT_EQ(last.bits_shifted, 16u * 65536);
  EXPECT_EQ(last.bits_shifted, last.bits_total);
  EXPECT_EQ(last.file_size, file.size());
  EXPECT_EQ(last.file_crc, crc32_bitwise(file));
  EXPECT_EQ(text_of(last.action, sizeof last.action), "configure");
  EXPECT_GT(last.elapsed_ms, 0u);
}

TEST(DownloadAbort, LongDownloadEndsWithinASecondAsFailedAndTheServerServesOn) {
  DownloadBench bench("dl_abort");
  World &world = bench.world();
  auto loader = world.start("fpgaload", {"-TKeshV2_00", download_file("slow")});
  ASSERT_TRUE(bench.server().wait_for("configure \"Wait on the chain\"", 30s))
      << bench.server().out();
  Station station(world);
  station.subscribe(kReport);
  ASSERT_TRUE(station.wait_updates(kReport, 1));
  std::this_thread::sleep_for(200ms);
  ASSERT_EQ(count_of(bench.server_log(), "Status"), 0u) << "the download ended too soon";

  const auto asked = std::chrono::steady_clock::now();
  station.command("/ZOL/KeshV2_00/CMD/AbortDownload", {0});
  ASSERT_TRUE(bench.server().wait_for("Status 2\n", 10s)) << bench.server().out();
  EXPECT_LT(std::chrono::steady_clock::now() - asked, 1s);

  auto status = loader->wait_exit(20s);
  ASSERT_TRUE(status.has_value());
  EXPECT_EQ(*status, 1) << loader->out() << loader->err();
  EXPECT_NE(loader->out().find("Exit code -19: Aborted on request (AbortDownload)"),
            std::string::npos)
      << loader->out();
  ASSERT_TRUE(station.wait_updates(kReport, 2));
  LOADREPORT r = decode<LOADREPORT>(station.updates(kReport).back());
  EXPECT_EQ(r.download, 1u);
  EXPECT_EQ(r.exit_code, -19);
  EXPECT_NE(text_of(r.lines, sizeof r.lines).find("Run stopped on request."), std::string::npos);

  auto board = lbsim::BoardControl::open(world.board());
  ASSERT_TRUE(board);
  EXPECT_EQ(board->tap_state(), lbsim::kTapReset);

  world.poke(0x38, 0x1234);
  RunResult read = world.run_program("rwreg", {"-R", "38", "-TKeshV2_00"});
  EXPECT_EQ(read.status, 0) << read.err;
  EXPECT_NE(read.out.find("Value 0x1234"), std::string::npos) << read.out;
}

TEST(DownloadAbort, CtrlCInFpgaloadAbortsTheDownload) {
  DownloadBench bench("dl_ctrlc");
  auto loader = bench.world().start("fpgaload", {"-TKeshV2_00", download_file("slow")});
  ASSERT_TRUE(bench.server().wait_for("configure \"Wait on the chain\"", 30s));
  std::this_thread::sleep_for(200ms);
  loader->signal(SIGINT);
  auto status = loader->wait_exit(10s);
  ASSERT_TRUE(status.has_value()) << "fpgaload did not end after Ctrl-C";
  EXPECT_EQ(*status, 1) << loader->out() << loader->err();
  EXPECT_NE(loader->err().find("asked board KeshV2_00 to abort"), std::string::npos)
      << loader->err();
  EXPECT_NE(bench.server_log().find("Status 2\n"), std::string::npos) << bench.server_log();
}

TEST(DownloadReport, FailureReachesTheStationWithThePlayersExitText) {
  DownloadBench bench("dl_report");
  RunResult r = bench.load(FPGA_CONFIGURE_CORRUPT_JBC);
  EXPECT_EQ(r.status, 1) << r.out << r.err;
  EXPECT_NE(r.out.find("FPGALoadStatus 2: load failed"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("Exit code 10: Device programming failure\n"), std::string::npos) << r.out;
  // The tail of what the driver printed on the board.
  EXPECT_NE(r.out.find("| Exit code = 10... Device programming failure\n"), std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find("| Elapsed time = "), std::string::npos) << r.out;
}

TEST(DownloadRecord, WithZolSvfDirEachDownloadIsRecordedAsSvfThatConfiguresAFreshBoard) {
  const std::string dir = ::testing::TempDir() + "dl_svf_" + std::to_string(getpid());
  std::filesystem::create_directories(dir);
  ::setenv("ZOL_SVF_DIR", dir.c_str(), 1);
  DownloadBench bench("dl_svf");
  ::unsetenv("ZOL_SVF_DIR");
  ASSERT_EQ(bench.load(FPGA_CONFIGURE_GOOD_JBC).status, 0);
  const std::string path = dir + "/download-1-configure.svf";
  EXPECT_NE(bench.server_log().find("SVF record: " + path + "\n"), std::string::npos)
      << bench.server_log();
  ASSERT_TRUE(std::filesystem::exists(path));

  // Played on another board, the recording configures its FPGA with every TDO as captured.
  World fresh("dl_svf_fresh");
  EXPECT_EQ(fresh.boardsim({"fpga"}).find("CONFIGURED yes"), std::string::npos);
  RunResult played = fresh.run_program("stapl", {"svf", path}, 60s);
  EXPECT_EQ(played.status, 0) << played.out << played.err;
  EXPECT_NE(fresh.boardsim({"fpga"}).find("CONFIGURED yes"), std::string::npos);
  std::filesystem::remove_all(dir);
}

TEST(RunAction, VerifyPassesOnTheLoadedFpgaAndFailsOnADifferentConfiguration) {
  DownloadBench bench("dl_verify");
  ASSERT_EQ(bench.load(FPGA_CONFIGURE_GOOD_JBC).status, 0);
  RunResult same = bench.load(FPGA_CONFIGURE_GOOD_JBC, {"-averify"});
  EXPECT_EQ(same.status, 0) << same.out << same.err;
  EXPECT_NE(same.out.find("Action \"verify\" succeeded"), std::string::npos) << same.out;
  RunResult other = bench.load(FPGA_CONFIGURE_8MBIT_JBC, {"-averify"});
  EXPECT_EQ(other.status, 1) << other.out << other.err;
  EXPECT_NE(other.out.find("Exit code 11: Device verify failure"), std::string::npos) << other.out;
  // Only DownloadFPGA publishes the load status.
  EXPECT_EQ(count_of(bench.server_log(), "Status "), 1u) << bench.server_log();
  EXPECT_EQ(count_of(bench.server_log(), "RunFPGAAction \"verify\""), 2u) << bench.server_log();
}

TEST(RunAction, FileWithoutTheActionOrWithBadEntriesIsRefusedAtTheStation) {
  World world("dl_action_local");
  RunResult no_action =
      world.run_program("fpgaload", {"-TKeshV2_00", "-averify", download_file("success")}, 20s);
  EXPECT_EQ(no_action.status, 2);
  EXPECT_NE(no_action.err.find("has no action \"verify\""), std::string::npos) << no_action.err;
  RunResult bad_entry =
      world.run_program("fpgaload", {"-TKeshV2_00", "-dNOVALUE", download_file("success")}, 20s);
  EXPECT_EQ(bad_entry.status, 2);
  EXPECT_NE(bad_entry.err.find("-d needs an initialisation entry"), std::string::npos)
      << bad_entry.err;
}

TEST(BusyBoard, RwregSaysTheBoardIsBusyWithADownload) {
  DownloadBench bench("dl_busy");
  World &world = bench.world();
  // A file that never ends keeps the board busy for as long as rwreg waits.
  auto loader = world.start("fpgaload", {"-TKeshV2_00", download_file("spin")});
  ASSERT_TRUE(bench.server().wait_for("Actions available in this file:\nconfigure\n", 30s));
  RunResult r = world.run_program("rwreg", {"-R", "38", "-TKeshV2_00"}, 30s);
  EXPECT_EQ(r.status, 3) << r.out << r.err;
  EXPECT_NE(r.err.find("board KeshV2_00 is busy with a download ("), std::string::npos) << r.err;
  EXPECT_EQ(r.out, "");
  Station station(world);
  station.command("/ZOL/KeshV2_00/CMD/AbortDownload", {0});
  EXPECT_TRUE(loader->wait_exit(20s).has_value());
}

}  // namespace
}  // namespace zoltest
