// A benchmark stopped by a signal still removes what it made: the clean-up runs on the
// watcher thread, and the process ends with the status a shell expects of that signal.
#include "testing/stop_signals.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>
#include <thread>

namespace zoltest {
namespace {

void stop_after_setting_up(int sig, const std::string &marker) {
  clean_up_on_stop_signal("stopped_program", [marker] { std::ofstream(marker) << "cleaned"; });
  // A thread started afterwards leaves the signal to the watcher too.
  std::thread busy([] { std::this_thread::sleep_for(std::chrono::seconds(10)); });
  busy.detach();
  kill(getpid(), sig);
  std::this_thread::sleep_for(std::chrono::seconds(10));  // the watcher ends us first
  std::_Exit(0);
}

TEST(StopSignals, EachStopSignalRunsTheCleanUpAndEndsWith128PlusTheSignal) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  for (int sig : {SIGINT, SIGTERM, SIGHUP}) {
    // Named without the process number: the death test's child runs this test afresh.
    const std::string marker = ::testing::TempDir() + "stop_signals_marker_" + std::to_string(sig);
    std::remove(marker.c_str());
    EXPECT_EXIT(stop_after_setting_up(sig, marker), ::testing::ExitedWithCode(128 + sig),
                "stopped_program: stopped by signal " + std::to_string(sig));
    std::ifstream in(marker);
    std::string text;
    in >> text;
    EXPECT_EQ(text, "cleaned") << "signal " << sig;
    std::remove(marker.c_str());
  }
}

}  // namespace
}  // namespace zoltest
