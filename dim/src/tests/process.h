// Child processes for end-to-end tests: start a program with extra environment, read its
// standard output and error as they come, wait for text with a time limit, stop it.
//
// Every child is killed when its Process goes away, and also when the test process dies
// (parent-death signal), so a failing test leaves nothing running.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace zoltest {

using Env = std::vector<std::pair<std::string, std::string>>;
using namespace std::chrono_literals;

class Process {
 public:
  // argv[0] is the program's path. `env` adds to (or replaces in) the test's environment.
  Process(std::vector<std::string> argv, const Env &env);
  ~Process();
  Process(const Process &) = delete;
  Process &operator=(const Process &) = delete;

  pid_t pid() const { return pid_; }

  std::string out() const;
  std::string err() const;

  // Waits until the output so far satisfies `done`; false on timeout or when the process
  // has ended and its output is complete without satisfying it.
  bool wait_out(const std::function<bool(const std::string &)> &done,
                std::chrono::milliseconds timeout);
  bool wait_err(const std::function<bool(const std::string &)> &done,
                std::chrono::milliseconds timeout);
  // Waits for `text` to appear in standard output.
  bool wait_for(const std::string &text, std::chrono::milliseconds timeout = 10s);

  void write_stdin(const std::string &text);
  void close_stdin();
  void signal(int sig);

  // Exit status (0-255), or 128 + signal number; nothing if still running at the timeout.
  std::optional<int> wait_exit(std::chrono::milliseconds timeout);
  // SIGTERM, then SIGKILL if it has not ended within `grace`. Returns the status.
  int stop(std::chrono::milliseconds grace = 5s);

 private:
  void reader();
  bool wait_text(const std::string *which,
                 const std::function<bool(const std::string &)> &done,
                 std::chrono::milliseconds timeout);

  pid_t pid_ = -1;
  int stdin_fd_ = -1;
  int stdout_fd_ = -1;
  int stderr_fd_ = -1;
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::string out_;
  std::string err_;
  bool streams_closed_ = false;
  std::optional<int> status_;
  std::thread reader_;
};

struct RunResult {
  int status = -1;  // as Process::wait_exit; -1 when it had to be killed
  std::string out;
  std::string err;
};

// Runs a program to its end (killed after `timeout`).
RunResult run(std::vector<std::string> argv, const Env &env,
              std::chrono::milliseconds timeout = 20s);

// Lines of a text, without their line ends.
std::vector<std::string> lines_of(const std::string &text);

}  // namespace zoltest
