// The local-bus calls as a program sees them. Each case runs the program side in a forked
// child, because the library opens the bus once per process.
#include "platform/lb/lb.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "platform/lb/sim/board_control.h"

namespace {

lb_desc standard_desc() { return lb_desc{0, 0, 0x10000, 2, 0x20020000, 0, 0, -1}; }

int open_bus() {
  lb_desc desc = standard_desc();
  if (lb_init_s(&desc) != 0) return -1;
  void *base = nullptr;
  return lb_map(&base, 0x10000, 0, 1, 0);
}

// Runs `body` in a child process with the given environment; returns its exit status, or
// 128 + signal when it was killed.
int in_child(const std::function<int()> &body,
             const std::vector<std::pair<std::string, std::string>> &env) {
  fflush(nullptr);
  const pid_t pid = fork();
  if (pid == 0) {
    for (const auto &[k, v] : env) {
      if (v.empty())
        unsetenv(k.c_str());
      else
        setenv(k.c_str(), v.c_str(), 1);
    }
    _exit(body());
  }
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

class LbSimulated : public ::testing::Test {
 protected:
  void SetUp() override {
    name_ = "t" + std::to_string(getpid()) + "-" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name();
    board_ = lbsim::BoardControl::open(name_);
    ASSERT_TRUE(board_) << name_;
    board_->reset();
  }
  void TearDown() override {
    board_.reset();
    lbsim::BoardControl::remove(name_);
  }
  int child(const std::function<int()> &body) {
    return in_child(body, {{"LB_SIM", name_}, {"LB_DEVICE", ""}});
  }
  std::string name_;
  std::unique_ptr<lbsim::BoardControl> board_;
};

TEST_F(LbSimulated, InitFailsWithTheInjectedErrno) {
  board_->set_init_fail(19);
  EXPECT_EQ(child([] {
              lb_desc desc = standard_desc();
              errno = 0;
              return lb_init_s(&desc) == -1 ? errno : 100;
            }),
            19);
  board_->set_init_fail(0);
  EXPECT_EQ(child(open_bus), 0);
}

TEST_F(LbSimulated, MapFailsWithTheInjectedErrnoAndAccessesStayRefused) {
  board_->set_map_fail(ENOMEM);
  EXPECT_EQ(child([] {
              lb_desc desc = standard_desc();
              if (lb_init_s(&desc) != 0) return 100;
              void *base = nullptr;
              if (lb_map(&base, 0x10000, 0, 1, 0) != -1 || errno != ENOMEM) return 101;
              uint32_t v;
              if (lb_read_word(0, &v) != -1 || errno != EBADF) return 102;
              return 0;
            }),
            0);
}

TEST_F(LbSimulated, AccessesBeforeOpeningAndOutsideTheWindowFail) {
  EXPECT_EQ(child([] {
              uint32_t v;
              if (lb_write_word(0x38, 1) != -1 || errno != EBADF) return 1;
              if (open_bus() != 0) return 2;
              if (lb_read_word(0x10000, &v) != -1 || errno != EINVAL) return 3;
              if (lb_write_word(0x3A, 1) != -1 || errno != EINVAL) return 4;
              if (lb_read_word(0x38, nullptr) != -1 || errno != EINVAL) return 5;
              return 0;
            }),
            0);
}

TEST_F(LbSimulated, TwoProcessesSeeOneBoard) {
  EXPECT_EQ(child([] { return open_bus() == 0 && lb_write_word(0x20F8, 0xC0FFEE) == 0 ? 0 : 1; }),
            0);
  EXPECT_EQ(child([] {
              uint32_t v = 0;
              return open_bus() == 0 && lb_read_word(0x20F8, &v) == 0 && v == 0xC0FFEE ? 0 : 1;
            }),
            0);
  uint32_t v = 0;
  ASSERT_TRUE(board_->peek(0x20F8, &v));
  EXPECT_EQ(v, 0xC0FFEEu);
}

TEST_F(LbSimulated, FailingRegisterGivesEio) {
  ASSERT_TRUE(board_->set_access_fail(0x30F8));
  EXPECT_EQ(child([] {
              uint32_t v;
              if (open_bus() != 0) return 1;
              if (lb_read_word(0x30F8, &v) == 0 || errno != EIO) return 2;
              if (lb_write_word(0x30F8, 1) == 0 || errno != EIO) return 3;
              return lb_write_word(0x40F8, 1);
            }),
            0);
}

TEST_F(LbSimulated, HolderKilledWhileHoldingTheLockDoesNotLockTheBoard) {
  const std::string name = name_;
  EXPECT_EQ(child([name] {
              auto board = lbsim::BoardControl::open(name);
              if (!board) return 1;
              auto held = board->hold_lock();
              raise(SIGKILL);
              return 2;
            }),
            128 + SIGKILL);
  // A second process gets the bus, and so does the control API, after the dead holder.
  EXPECT_EQ(child([] { return open_bus() == 0 && lb_write_word(0x38, 7) == 0 ? 0 : 1; }), 0);
  uint32_t v = 0;
  ASSERT_TRUE(board_->peek(0x38, &v));
  EXPECT_EQ(v, 7u);
}

TEST_F(LbSimulated, TraceShowsTheProgramsAccesses) {
  board_->trace_on(true);
  EXPECT_EQ(child([] {
              uint32_t v;
              if (open_bus() != 0) return 1;
              lb_write_word(0, 0x53);
              lb_write_word(4, 0xBF);
              lb_read_word(4, &v);
              return 0;
            }),
            0);
  EXPECT_EQ(board_->trace_lines(),
            (std::vector<std::string>{"W 0x0000 0x00000053", "TCK TMS=0 TDI=1 TDO=1",
                                      "R 0x0004 0x000000BF"}));
}

TEST_F(LbSimulated, BadBoardNameIsRefused) {
  EXPECT_EQ(in_child(
                [] {
                  lb_desc desc = standard_desc();
                  return lb_init_s(&desc) == -1 ? errno : 0;
                },
                {{"LB_SIM", "../etc"}, {"LB_DEVICE", ""}}),
            EINVAL);
}

class LbHardware : public ::testing::Test {
 protected:
  void SetUp() override {
    char path[] = "/tmp/lb-window-XXXXXX";
    const int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(ftruncate(fd, 0x10000), 0);
    close(fd);
    path_ = path;
  }
  void TearDown() override { unlink(path_.c_str()); }
  std::string path_;
};

TEST_F(LbHardware, RegularFileStandsInForTheWindowAtOffsetZero) {
  EXPECT_EQ(in_child(
                [] {
                  if (open_bus() != 0) return 1;
                  if (lb_write_word(0x10F8, 0x11223344) != 0) return 2;
                  uint32_t v = 0;
                  if (lb_read_word(0x10F8, &v) != 0 || v != 0x11223344) return 3;
                  if (lb_read_word(0x10000, &v) != -1 || errno != EINVAL) return 4;
                  return 0;
                },
                {{"LB_DEVICE", path_}}),
            0);
  FILE *f = fopen(path_.c_str(), "rb");
  ASSERT_NE(f, nullptr);
  fseek(f, 0x10F8, SEEK_SET);
  unsigned char bytes[4] = {};
  ASSERT_EQ(fread(bytes, 1, 4, f), 4u);
  fclose(f);
  EXPECT_EQ(bytes[0], 0x44);
  EXPECT_EQ(bytes[3], 0x11);
}

// What a program does with the bus: open it, then write and read a register. The status is
// the errno of the call that failed, or 0; a signal shows as 128 + its number.
int open_and_touch() {
  lb_desc desc = standard_desc();
  if (lb_init_s(&desc) != 0) return errno;
  void *base = nullptr;
  if (lb_map(&base, 0x10000, 0, 1, 0) != 0) return errno;
  uint32_t v = 0;
  if (lb_write_word(0x2000, 0x12345678) != 0 || lb_read_word(0xFFFC, &v) != 0) return 100;
  return 0;
}

// Paths that cannot stand for the bridge are refused when the bus is opened, with the errno
// the programs exit with, and never get as far as an access that would be SIGBUS.
TEST_F(LbHardware, PathsThatCannotBeTheWindowAreRefusedAtInit) {
  ASSERT_EQ(truncate(path_.c_str(), 0x1000), 0);
  const std::string fifo = path_ + ".fifo";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  const struct {
    std::string path;
    int err;
  } cases[] = {
      {"/dev/zero", ENODEV},  // maps, but as memory past whose end accesses fault
      {"/dev/null", ENODEV},  // a device that cannot be mapped at all
      {fifo, ENODEV},         // neither device nor file
      {"/tmp", EISDIR},       // a directory
      {path_ + ".absent", ENOENT},
      {path_, EINVAL},  // a file shorter than the window
  };
  for (const auto &c : cases)
    EXPECT_EQ(in_child(open_and_touch, {{"LB_DEVICE", c.path}}), c.err) << c.path;
  unlink(fifo.c_str());
}

// A file that was long enough when opened but is cut before the map is looked at again.
TEST_F(LbHardware, FileCutBetweenInitAndMapFailsTheMap) {
  const std::string path = path_;
  EXPECT_EQ(in_child(
                [path] {
                  lb_desc desc = standard_desc();
                  if (lb_init_s(&desc) != 0) return 100;
                  if (truncate(path.c_str(), 0x1000) != 0) return 101;
                  void *base;
                  return lb_map(&base, 0x10000, 0, 1, 0) == -1 ? errno : 0;
                },
                {{"LB_DEVICE", path_}}),
            EINVAL);
}

}  // namespace
