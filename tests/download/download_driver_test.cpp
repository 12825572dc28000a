// What the server prints and publishes for each kind of file a station sends, and how
// fpgaload reports it.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <regex>
#include <thread>

#include "tests/download/download_station.h"

namespace zoltest {
namespace {

TEST(Download, FileWithoutConfigureIsReportedAndPublishedAsFailed) {
  DownloadBench bench("dl_noconf");
  // fpgaload refuses such a file; -F sends it anyway, to see what the server makes of it.
  RunResult r = bench.load(download_file("no_configure"), {"-F"});
  EXPECT_EQ(r.status, 1) << r.out << r.err;
  EXPECT_NE(r.out.find("FPGALoadStatus 2"), std::string::npos) << r.out;
  ASSERT_TRUE(bench.wait_status_lines(1));
  std::string log = bench.server_log();
  EXPECT_TRUE(std::regex_search(
      log, std::regex("Error: action \"configure\" is not supported for this Jam file\\.\n"
                      "Program terminated\\.\n"
                      "Elapsed time = 00:00:0\\d\n"
                      "Status 2\n")))
      << log;
}

TEST(Download, FileOf52BytesIsNotRecognisedAndNothingElseIsPrinted) {
  DownloadBench bench("dl_short");
  std::vector<char> bytes = read_bytes(download_file("success"));
  bytes.resize(52);
  RunResult r = bench.load(write_temp_file("short", bytes), {"-F"});
  EXPECT_EQ(r.status, 1) << r.out << r.err;
  ASSERT_TRUE(bench.wait_status_lines(1));
  EXPECT_EQ(bench.server_log(), "Error: File format is not recognized.\nStatus 2\n");
}

TEST(Download, WrongStoredCrcIsReportedThenTheFileIsListedAndRun) {
  DownloadBench bench("dl_crc");
  std::vector<char> bytes = read_bytes(download_file("success"));
  ASSERT_GT(bytes.size(), 60u);
  bytes.back() = static_cast<char>(bytes.back() ^ 0x5A);  // the stored CRC is the last word
  RunResult r = bench.load(write_temp_file("crc", bytes), {"-F"});
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  ASSERT_TRUE(bench.wait_status_lines(1));
  std::string log = bench.server_log();
  EXPECT_TRUE(
      std::regex_search(log, std::regex("^CRC mismatch: expected [0-9A-F]{4}, actual [0-9A-F]{4}\n"
                                        "File format is Jam STAPL Byte-code format\n"
                                        "NOTE \"DESCRIPTION\" = \"Resets the chain and succeeds\"\n"
                                        "NOTE \"DEVICE\" = \"any\"\n"
                                        "\nActions available in this file:\nconfigure\n\n")))
      << log;
  EXPECT_NE(log.find("Exit code = 0... Success\nElapsed time = 00:00:0"), std::string::npos) << log;
  EXPECT_NE(log.find("Status 1\n"), std::string::npos) << log;
}

TEST(Download, ExitCode10IsADeviceProgrammingFailure) {
  DownloadBench bench("dl_exit10");
  RunResult r = bench.load(download_file("exit_10"));
  EXPECT_EQ(r.status, 1) << r.out << r.err;
  ASSERT_TRUE(bench.wait_status_lines(1));
  std::string log = bench.server_log();
  EXPECT_TRUE(
      std::regex_search(log, std::regex("Exit code = 10\\.\\.\\. Device programming failure\n"
                                        "Elapsed time = \\d\\d:\\d\\d:\\d\\d\n"
                                        "Status 2\n")))
      << log;
}

TEST(Download, ActionsAreListedWithAndWithoutDescriptionAndMarkedProcedures) {
  DownloadBench bench("dl_actions");
  RunResult r = bench.load(download_file("two_actions"));
  // The optional procedure that would fail is not asked for, so the run succeeds.
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  ASSERT_TRUE(bench.wait_status_lines(1));
  std::string log = bench.server_log();
  EXPECT_NE(log.find("\nActions available in this file:\n"
                     "configure \"Configure the device\"\n"
                     "    check (optional)\n"
                     "    settle (recommended)\n"
                     "erase\n\n"),
            std::string::npos)
      << log;
}

TEST(Download, Jam11FileRunsFromItsFirstInstruction) {
  DownloadBench bench("dl_jam11");
  RunResult r = bench.load(download_file("jam11_success"));
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  ASSERT_TRUE(bench.wait_status_lines(1));
  std::string log = bench.server_log();
  EXPECT_NE(log.find("File format is Jam 1.1 Byte-code format\n"
                     "NOTE \"DESCRIPTION\" = \"Jam 1.1 success\"\n"),
            std::string::npos)
      << log;
  EXPECT_EQ(log.find("Actions available"), std::string::npos) << log;
  EXPECT_NE(log.find("Exit code = 0... Success\n"), std::string::npos) << log;
}

TEST(Download, JtagPortIsSwitchedOnByTheFirstDownloadOnlyAndOffAtExit) {
  DownloadBench bench("dl_jtag");
  EXPECT_EQ(bench.load(download_file("success")).status, 0);
  EXPECT_EQ(bench.load(download_file("success")).status, 0);
  ASSERT_TRUE(bench.wait_status_lines(2));
  std::string log = bench.server_log();
  // Start-up wrote 0x43 to the CSR; the port bit makes it 0x53.
  EXPECT_EQ(count_of(log, "JTAG enabled, CSR 0x0 : 53\n"), 1u) << log;
  EXPECT_EQ(count_of(log, "Status 1\n"), 2u) << log;
  std::string all = bench.stop_server();
  EXPECT_TRUE(std::regex_search(
      all, std::regex("Server exiting\nClosing PCI\nJTAG disabled, CSR 0x0 : 43\n$")))
      << all;
}

TEST(Download, RegisterCommandsSentDuringADownloadAreAllServedAfterIt) {
  DownloadBench bench("dl_hold", {"-D"});
  World &world = bench.world();
  auto loader = world.start("fpgaload", {"-TKeshV2_00", download_file("slow")});
  ASSERT_TRUE(bench.server().wait_for("configure \"Wait on the chain\"", 30s))
      << bench.server().out();
  Station station(world);
  const int kCommands = 5;
  for (int i = 0; i < kCommands; ++i) {
    uint32_t addr = 0x2000 + 4 * static_cast<uint32_t>(i);
    station.command("/ZOL/KeshV2_00/CMD/ReadWriteRegisters",
                    {1, addr, 0x100u + static_cast<uint32_t>(i), 0xFFFFFFFF, 1});
  }
  // Give the commands time to reach the server; the download must still be running.
  std::this_thread::sleep_for(100ms);
  ASSERT_EQ(count_of(bench.server_log(), "Status"), 0u) << "the download ended too soon";
  ASSERT_TRUE(loader->wait_exit(120s).has_value());
  ASSERT_TRUE(bench.server().wait_out(
      [&](const std::string &out) { return count_of(out, ": Met 0x1, Add 0x20") >= kCommands; },
      30s))
      << bench.server().out();
  std::string log = bench.server_log();
  size_t status = log.find("Status 1\n");
  ASSERT_NE(status, std::string::npos) << log;
  for (int i = 0; i < kCommands; ++i) {
    char trace[64];
    std::snprintf(trace, sizeof trace, ": Met 0x1, Add 0x%X, Val 0x%X", 0x2000 + 4 * i, 0x100 + i);
    size_t at = log.find(trace);
    ASSERT_NE(at, std::string::npos) << trace << "\n" << log;
    EXPECT_GT(at, status) << "register command " << i << " was served during the download";
    EXPECT_EQ(world.peek(0x2000 + 4 * static_cast<uint32_t>(i)), 0x100u + static_cast<uint32_t>(i));
  }
}

TEST(Fpgaload, ServerThatIsDownGivesStatus2WithoutSending) {
  World world("dl_down");
  RunResult r = world.run_program("fpgaload", {"-TKeshV2_00", download_file("success")}, 30s);
  EXPECT_EQ(r.status, 2) << r.out << r.err;
  EXPECT_NE(r.err.find("cannot be reached"), std::string::npos) << r.err;
  EXPECT_EQ(r.out.find("Sending"), std::string::npos) << r.out;
}

TEST(Fpgaload, UnusableInputIsRefusedBeforeAnythingIsSent) {
  World world("dl_input");
  RunResult missing = world.run_program("fpgaload", {"-TKeshV2_00", "/nonexistent/file.jbc"});
  EXPECT_EQ(missing.status, 2);
  EXPECT_NE(missing.err.find("cannot read /nonexistent/file.jbc"), std::string::npos)
      << missing.err;

  // One byte more than a command carries; the file is sparse, so it costs no disk.
  std::string big = write_temp_file("oversize", {});
  ASSERT_EQ(truncate(big.c_str(), (64 << 20) + 1), 0);
  RunResult oversize = world.run_program("fpgaload", {"-TKeshV2_00", big});
  unlink(big.c_str());
  EXPECT_EQ(oversize.status, 2);
  EXPECT_NE(oversize.err.find("a command carries at most 67108864 bytes"), std::string::npos)
      << oversize.err;

  RunResult no_board = world.run_program("fpgaload", {download_file("success")});
  EXPECT_EQ(no_board.status, 2);
  EXPECT_NE(no_board.err.find("no target board"), std::string::npos) << no_board.err;
}

// A file the server could never run used to be sent and come back as "load failed". It is
// checked here with the player's own queries and refused with the reason, before sending.
TEST(Fpgaload, FileTheServerCannotRunIsRefusedWithTheReasonAndNotSent) {
  DownloadBench bench("dl_check");
  const std::vector<char> good = read_bytes(download_file("success"));
  ASSERT_GT(good.size(), 60u);
  std::vector<char> random(300);
  uint32_t x = 12345;
  for (char &c : random) c = static_cast<char>((x = x * 1103515245u + 12345u) >> 24);
  std::string text;
  while (text.size() < 200) text += "This is a text file, not byte code.\n";
  std::vector<char> bad_crc = good;
  bad_crc.back() = static_cast<char>(bad_crc.back() ^ 0x5A);  // the stored CRC is the last word
  std::vector<char> truncated(good.begin(), good.end() - 2);
  std::vector<char> short_one(good.begin(), good.begin() + 52);
  std::string directory = std::string(ZOL_BUILD_DIR) + "/download-dir-" + std::to_string(getpid());
  ASSERT_EQ(mkdir(directory.c_str(), 0700), 0);

  const struct {
    std::string file;
    std::string reason;
  } cases[] = {
      {write_temp_file("empty", {}), "is empty; not sent"},
      {write_temp_file("random", random), "is not a byte-code file"},
      {write_temp_file("text", {text.begin(), text.end()}), "is not a byte-code file"},
      {write_temp_file("short52", short_one), "is 52 bytes, too short for a byte-code file"},
      {write_temp_file("badcrc", bad_crc), "has a wrong CRC (stored "},
      {write_temp_file("cut", truncated), "ends before its stored CRC"},
      {download_file("no_configure"), "has no action \"configure\""},
      {directory, directory + " is a directory"},
  };
  for (const auto &c : cases) {
    RunResult r = bench.load(c.file);
    EXPECT_EQ(r.status, 2) << c.file << "\n" << r.out << r.err;
    EXPECT_NE(r.err.find("fpgaload: "), std::string::npos) << r.err;
    EXPECT_NE(r.err.find(c.reason), std::string::npos) << c.reason << " not in: " << r.err;
    EXPECT_EQ(r.out.find("Sending"), std::string::npos) << r.out;
  }
  for (const auto &c : cases)
    if (c.file != download_file("no_configure")) std::remove(c.file.c_str());  // ours only
  EXPECT_EQ(count_of(bench.server_log(), "Status"), 0u) << bench.server_log();

  // A Jam 1.1 file has no actions and passes; so does a good Jam STAPL file.
  EXPECT_EQ(bench.load(download_file("jam11_success")).status, 0);
  EXPECT_EQ(bench.load(download_file("success")).status, 0);
}

}  // namespace
}  // namespace zoltest
