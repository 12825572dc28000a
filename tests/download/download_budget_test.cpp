// The server's download budgets, set through its environment: a file that loops or asks for
// too much memory ends as a failed download that names the budget, and the server goes on
// serving register commands.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "tests/download/download_station.h"

namespace zoltest {
namespace {

// Environment variables for the programs this test starts, removed again at its end.
class ScopedEnv {
 public:
  ScopedEnv(const char *name, const char *value) : name_(name) { setenv(name, value, 1); }
  ~ScopedEnv() { unsetenv(name_); }
  ScopedEnv(const ScopedEnv &) = delete;
  ScopedEnv &operator=(const ScopedEnv &) = delete;

 private:
  const char *name_;
};

TEST(DownloadBudget, LoopingAndOversizedFilesFailByTheirBudgetAndTheServerServesOn) {
  ScopedEnv seconds("ZOL_DOWNLOAD_SECONDS", "1");
  ScopedEnv memory("ZOL_PLAYER_MEMORY_MB", "1");
  ScopedEnv tck("ZOL_DOWNLOAD_TCK", "many");
  DownloadBench bench("dl_budget", {"-D"});
  World &world = bench.world();
  EXPECT_NE(bench.server().err().find(
                "ZOL_DOWNLOAD_TCK: 'many' is not a whole number from 0 to 4611686018427387904; "
                "using 10000000000\n"),
            std::string::npos)
      << bench.server().err();

  RunResult spin = bench.load(download_file("spin"), {}, 60s);
  EXPECT_EQ(spin.status, 1) << spin.out << spin.err;
  EXPECT_NE(spin.out.find("FPGALoadStatus 2"), std::string::npos) << spin.out;
  ASSERT_TRUE(bench.wait_status_lines(1));
  EXPECT_NE(bench.server_log().find("Budget exceeded: run time 1 s.\n"
                                    "Error at address 0: execution cancelled.\n"
                                    "Program terminated.\n"),
            std::string::npos)
      << bench.server_log();

  RunResult padding = bench.load(download_file("huge_padding"), {}, 60s);
  EXPECT_EQ(padding.status, 1) << padding.out << padding.err;
  ASSERT_TRUE(bench.wait_status_lines(2));
  EXPECT_NE(bench.server_log().find("Budget exceeded: memory 1 MiB.\n"
                                    "Error at address 5: out of memory.\n"
                                    "Program terminated.\n"),
            std::string::npos)
      << bench.server_log();

  Station station(world);
  station.command("/ZOL/KeshV2_00/CMD/ReadWriteRegisters", {1, 0x2000, 0x5A5A, 0xFFFFFFFF, 1});
  ASSERT_TRUE(bench.server().wait_out(
      [](const std::string &out) { return out.find(": Met 0x1, Add 0x2000") != std::string::npos; },
      10s))
      << bench.server().out();
  EXPECT_EQ(world.peek(0x2000), 0x5A5Au);
}

}  // namespace
}  // namespace zoltest
