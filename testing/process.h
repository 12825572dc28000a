// Programs started by tests and benchmarks: argv and extra environment in, standard output
// and error collected as they come (whole text, or line by line), standard input on a pipe,
// signals, and the exit status within a time limit.
//
// A Process never outlives its object: the destructor kills and reaps it. It also dies with
// the thread that started it (parent-death signal), so a crashed test leaves nothing running.
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

using namespace std::chrono_literals;

// Variables added to (or replacing those of) the starting process's environment.
using Env = std::vector<std::pair<std::string, std::string>>;

std::string bin(const std::string &program);       // <build>/bin/<program>
std::string test_bin(const std::string &program);  // <build>/test-bin/<program>

// Polls `ready` until it holds or `timeout` passes; its last answer.
bool wait_for(const std::function<bool()> &ready, std::chrono::milliseconds timeout = 5s);

class Process {
 public:
  // argv[0] is the program's path. The child gets this process's environment without the
  // variables named in `unset`, then `env` on top.
  explicit Process(std::vector<std::string> argv, const Env &env = {},
                   const std::vector<std::string> &unset = {});
  ~Process();
  Process(const Process &) = delete;
  Process &operator=(const Process &) = delete;

  pid_t pid() const { return pid_; }

  // Everything written so far.
  std::string out() const;
  std::string err() const;

  // The next whole line (without its end) not yet taken by these calls; nothing when none
  // comes within `timeout` or the stream has ended.
  std::optional<std::string> line(std::chrono::milliseconds timeout = 5s);
  std::optional<std::string> err_line(std::chrono::milliseconds timeout = 5s);
  // The rest of standard error not yet taken by err_line, once it has been quiet for `quiet`.
  std::string err_text(std::chrono::milliseconds quiet = 200ms);

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
  // Once it returns a status, out() and err() hold everything the program wrote.
  std::optional<int> wait_exit(std::chrono::milliseconds timeout);
  // SIGTERM, then SIGKILL if it has not ended within `grace`. Returns the status.
  int stop(std::chrono::milliseconds grace = 5s);
  // SIGKILL at once, as a crash would; returns the status.
  int kill_now();

 private:
  void reader();
  bool wait_text(const std::string *which, const std::function<bool(const std::string &)> &done,
                 std::chrono::milliseconds timeout);
  std::optional<std::string> next_line(const std::string &text, std::size_t &taken,
                                       std::chrono::milliseconds timeout);

  pid_t pid_ = -1;
  int stdin_fd_ = -1;
  int stdout_fd_ = -1;
  int stderr_fd_ = -1;
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::string out_;
  std::string err_;
  std::size_t out_taken_ = 0;  // how far line() has read
  std::size_t err_taken_ = 0;  // how far err_line() has read
  bool streams_closed_ = false;
  std::optional<int> status_;
  std::thread reader_;
};

struct RunResult {
  int status = -1;  // as Process::wait_exit; -1 when it had to be killed
  std::string out;
  std::string err;
};

// Runs a program to its end with its standard input closed (killed after `timeout`).
RunResult run(std::vector<std::string> argv, const Env &env = {},
              std::chrono::milliseconds timeout = 20s, const std::vector<std::string> &unset = {});

// Lines of a text, without their line ends; a final line end adds no empty line.
std::vector<std::string> lines_of(const std::string &text);

// Words of a command line split at blanks, for tests that write a program's arguments as
// one string (no quoting: every word is taken as it stands).
std::vector<std::string> words_of(const std::string &command);

}  // namespace zoltest
