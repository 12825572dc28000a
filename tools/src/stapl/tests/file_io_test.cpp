// Output files of the subcommands: a regular file is replaced whole, and a device or a pipe
// given as output (`-o /dev/null`) is written into, never replaced by a regular file.
#include "tools/src/stapl/file_io.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

class OutputFile : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/stapl_file_io.XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
  }
  void TearDown() override { fs::remove_all(dir_); }

  fs::path dir_;
};

TEST_F(OutputFile, RegularFileIsReplacedWholeAndNoTemporaryIsLeft) {
  const std::string path = dir_ / "out.jbc";
  std::string error;
  ASSERT_TRUE(stapl::write_file(path, std::vector<uint8_t>(100, 0xAA), error)) << error;
  ASSERT_TRUE(stapl::write_file(path, {1, 2, 3}, error)) << error;
  EXPECT_EQ(fs::file_size(path), 3u);
  EXPECT_EQ(std::distance(fs::directory_iterator(dir_), fs::directory_iterator()), 1);
}

TEST_F(OutputFile, PipeStaysAPipeAndGetsTheBytes) {
  const std::string path = dir_ / "fifo";
  ASSERT_EQ(mkfifo(path.c_str(), 0600), 0);
  const int reader = open(path.c_str(), O_RDONLY | O_NONBLOCK);
  ASSERT_GE(reader, 0);
  std::string error;
  const std::vector<uint8_t> bytes{0x4A, 0x41, 0x4D, 0x00};
  EXPECT_TRUE(stapl::write_file(path, bytes, error)) << error;
  struct stat st {};
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  EXPECT_TRUE(S_ISFIFO(st.st_mode)) << "the pipe was replaced by a regular file";
  std::vector<uint8_t> got(16);
  const ssize_t n = read(reader, got.data(), got.size());
  close(reader);
  ASSERT_EQ(n, static_cast<ssize_t>(bytes.size()));
  got.resize(static_cast<size_t>(n));
  EXPECT_EQ(got, bytes);
}

}  // namespace
