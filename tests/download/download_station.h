// A station's view of downloads: a name server, a ZOL_server on its own simulated board, and
// fpgaload sending files to it.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "testing/world.h"

namespace zoltest {

// <build>/download-files/<name>.jbc, assembled from tests/download/files at build time.
std::string download_file(const std::string &name);
std::vector<char> read_bytes(const std::string &path);
// Writes `bytes` to a file of this test's own and returns its path.
std::string write_temp_file(const std::string &tag, const std::vector<char> &bytes);

// The board's server under test; the default identity names it KeshV2_00.
class DownloadBench {
 public:
  explicit DownloadBench(const std::string &tag, std::vector<std::string> server_args = {});
  ~DownloadBench();

  World &world() { return world_; }
  Process &server() { return *server_; }

  // Runs fpgaload against the board with `file`; waits for it to end.
  RunResult load(const std::string &file, std::vector<std::string> extra = {},
                 std::chrono::milliseconds timeout = 120s);
  // Server output after its start-up lines.
  std::string server_log() const;
  // Waits until the server has printed `count` "Status" lines in all.
  bool wait_status_lines(size_t count, std::chrono::milliseconds timeout = 60s);
  // Stops the server through its normal exit path and returns everything it printed.
  std::string stop_server();

 private:
  World world_;
  std::unique_ptr<Process> server_;
  size_t startup_length_ = 0;
};

size_t count_of(const std::string &text, const std::string &what);

}  // namespace zoltest
