// The programs that open the local bus themselves, run with LB_DEVICE naming something that
// cannot be the bridge's register window: each says which path and why, then ends through
// the failed-open path ("local bus init", the error number as status), never by a signal.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "testing/sim_board.h"

namespace {

using testing::HasSubstr;
using zoltest::run_tool;
using zoltest::SimBoard;

class BadWindow : public testing::Test {
 protected:
  void SetUp() override {
    char path[] = "/tmp/lb-short-XXXXXX";
    const int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(ftruncate(fd, 0x1000), 0);
    close(fd);
    short_file_ = path;
    fifo_ = short_file_ + ".fifo";
    ASSERT_EQ(mkfifo(fifo_.c_str(), 0600), 0);
  }
  void TearDown() override {
    unlink(short_file_.c_str());
    unlink(fifo_.c_str());
  }
  std::string short_file_;
  std::string fifo_;
};

TEST_F(BadWindow, EveryBusProgramRefusesItAtStartWithTheInitMessage) {
  SimBoard board;
  const std::string kNotAWindow =
      " cannot be the register window: it is neither /dev/mem nor a file";
  const struct {
    std::string path;
    int err;
    std::string why;  // the library's line naming the path and why
  } cases[] = {
      {"/dev/zero", ENODEV, "lb: /dev/zero" + kNotAWindow},
      {"/dev/null", ENODEV, "lb: /dev/null" + kNotAWindow},
      {fifo_, ENODEV, "lb: " + fifo_ + kNotAWindow},
      {"/tmp", EISDIR, "lb: /tmp cannot be the register window: it is a directory"},
      {short_file_ + ".absent", ENOENT,
       "lb: cannot open " + short_file_ + ".absent: No such file or directory"},
      {short_file_, EINVAL,
       "lb: " + short_file_ + " holds 4096 bytes, fewer than the 65536-byte register window"},
  };
  const struct {
    std::string name;
    std::vector<std::string> args;
  } programs[] = {
      {"rwreg", {"-W12345678", "0x2000"}},
      {"chainmux", {"-W1", "0"}},
      {"kesh_ctrl", {}},
  };
  for (const auto &program : programs) {
    for (const auto &c : cases) {
      SCOPED_TRACE(program.name + " with LB_DEVICE=" + c.path);
      auto run = run_tool(program.name, program.args, board.name(), 30, {{"LB_DEVICE", c.path}});
      EXPECT_EQ(run.status, c.err) << run.err;
      EXPECT_THAT(run.err, HasSubstr(c.why + "\n"));
      EXPECT_THAT(run.err,
                  HasSubstr("local bus init: " + std::string(std::strerror(c.err)) + "\n"));
    }
  }
  // Nothing reached the simulated board: every program took the path it was given.
  EXPECT_TRUE(board.trace().empty());
}

}  // namespace
