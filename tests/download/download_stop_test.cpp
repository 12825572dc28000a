// Stopping the server while a download runs: the download ends as failed, nothing of the
// server runs after "Server exiting", and the port is off once the process has gone.
#include <gtest/gtest.h>

#include <atomic>
#include <csignal>
#include <regex>
#include <thread>

#include "tests/download/download_station.h"

namespace zoltest {
namespace {

// Everything the process printed, once it has ended and its pipes are drained.
std::string whole_output(Process &p) {
  p.wait_out([](const std::string &) { return false; }, 10s);
  return p.out();
}

TEST(DownloadStop, StopDuringADownloadFailsItThenSwitchesThePortOffWithNothingAfter) {
  // The fault this guards against showed in some runs only.
  for (int run = 0; run < 4; ++run) {
    SCOPED_TRACE("run " + std::to_string(run));
    DownloadBench bench("dl_stop" + std::to_string(run), {"-D"});
    World &world = bench.world();
    auto loader = world.start("fpgaload", {"-TKeshV2_00", download_file("slow")});
    ASSERT_TRUE(bench.server().wait_for("JTAG enabled, CSR 0x0 : 53\n", 30s))
        << bench.server().out();

    // Register commands keep coming, before and while the server stops.
    Station station(world);
    std::atomic<bool> stopped{false};
    std::thread stream([&] {
      for (uint32_t i = 0; i < 400 && !stopped; ++i) {
        station.command("/ZOL/KeshV2_00/CMD/ReadWriteRegisters",
                        {1, 0x2000 + 4 * (i % 16), i, 0xFFFFFFFF, 1});
        std::this_thread::sleep_for(5ms);
      }
    });
    std::this_thread::sleep_for(50ms);
    bench.server().signal(SIGTERM);
    auto status = bench.server().wait_exit(10s);
    stopped = true;
    stream.join();
    ASSERT_TRUE(status.has_value()) << "the server did not end within 10 s of SIGTERM";
    EXPECT_EQ(*status, 0);

    std::string all = whole_output(bench.server());
    // The run was cut short and reported as failed, and then only the exit lines follow.
    EXPECT_TRUE(std::regex_search(all, std::regex("Program terminated\\.\n"
                                                  "Elapsed time = \\d\\d:\\d\\d:\\d\\d\n"
                                                  "Status 2\n"
                                                  "Server exiting\n"
                                                  "Closing PCI\n"
                                                  "JTAG disabled, CSR 0x0 : 43\n$")))
        << all;
    EXPECT_EQ(count_of(all, "JTAG enabled"), 1u) << all;
    EXPECT_EQ(world.peek(0), 0x43u) << "the port was left on";
  }
}

}  // namespace
}  // namespace zoltest
