// The process class every test relies on: what a child sees of its environment, how its
// output reads back, and that nothing it started outlives it.
#include "testing/process.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>

#include <string>

namespace zoltest {
namespace {

const std::string kShell = "/bin/sh";

TEST(Process, ChildGetsExtraVariablesAndLosesUnsetOnes) {
  setenv("ZOLTEST_DROPPED", "present", 1);
  setenv("ZOLTEST_KEPT", "kept", 1);
  RunResult r =
      run({kShell, "-c", "echo \"${ZOLTEST_DROPPED:-gone} $ZOLTEST_KEPT $ZOLTEST_ADDED\""},
          {{"ZOLTEST_ADDED", "added"}, {"ZOLTEST_KEPT", "replaced"}}, 10s, {"ZOLTEST_DROPPED"});
  unsetenv("ZOLTEST_DROPPED");
  unsetenv("ZOLTEST_KEPT");
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "gone replaced added\n");
}

TEST(Process, LinesReadInOrderAndEndWithTheStream) {
  Process p({kShell, "-c", "echo one; echo two >&2; echo three; printf partial >&2; exit 3"});
  EXPECT_EQ(p.line(), "one");
  EXPECT_EQ(p.line(), "three");
  EXPECT_EQ(p.line(), std::nullopt);  // the stream ended
  EXPECT_EQ(p.err_text(), "two\npartial");
  EXPECT_EQ(p.wait_exit(10s), 3);
  EXPECT_EQ(p.out(), "one\nthree\n");  // whole text, whatever line() took
}

TEST(Process, StandardInputReachesTheChild) {
  Process p({kShell, "-c", "read word; echo got $word"});
  p.write_stdin("hello\n");
  EXPECT_TRUE(p.wait_for("got hello\n", 10s)) << p.out();
}

TEST(Process, ObjectGoingAwayKillsAProgramThatIgnoresStop) {
  pid_t pid = -1;
  {
    Process p({kShell, "-c", "trap '' TERM; echo up; exec sleep 60"});
    ASSERT_EQ(p.line(), "up");
    pid = p.pid();
    p.signal(SIGTERM);
    EXPECT_EQ(p.wait_exit(300ms), std::nullopt);  // still running
  }
  EXPECT_NE(kill(pid, 0), 0);  // reaped: no such process any more
}

TEST(Process, StopEscalatesToKillAfterTheGrace) {
  Process p({kShell, "-c", "trap '' TERM; echo up; exec sleep 60"});
  ASSERT_EQ(p.line(), "up");
  EXPECT_EQ(p.stop(200ms), 128 + SIGKILL);
}

}  // namespace
}  // namespace zoltest
