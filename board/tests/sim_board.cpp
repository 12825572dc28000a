#include "board/tests/sim_board.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <stdexcept>

#include <gtest/gtest.h>

namespace boardtest {

std::string unique_board_name(const std::string &tag) {
  std::string name = "board-" + std::to_string(getpid()) + "-" + tag;
  if (const auto *info = testing::UnitTest::GetInstance()->current_test_info()) {
    name += "-";
    name += info->name();
  }
  for (char &c : name)
    if (!std::isalnum(static_cast<unsigned char>(c)) && c != '-' && c != '.') c = '_';
  if (name.size() > 100) name.resize(100);
  return name;
}

SimBoard::SimBoard() : SimBoard(unique_board_name("t")) {}

SimBoard::SimBoard(const std::string &name) : name_(name) {
  control_ = lbsim::BoardControl::open(name_);
  if (!control_) throw std::runtime_error("cannot open simulated board " + name_);
  control_->reset();
  control_->trace_on(true);
}

SimBoard::~SimBoard() {
  control_.reset();
  lbsim::BoardControl::remove(name_);
}

std::vector<std::string> SimBoard::trace(const std::vector<std::string> &prefixes) {
  std::vector<std::string> kept;
  for (const std::string &line : control_->trace_lines()) {
    bool keep = prefixes.empty();
    for (const std::string &p : prefixes)
      if (line.rfind(p, 0) == 0) keep = true;
    if (keep) kept.push_back(line);
  }
  return kept;
}

SimBoard &process_board() {
  // Never unlinked before exit: the local-bus library keeps this board open for the whole
  // process, and a new board of the same name would not be the one it talks to.
  static SimBoard board("board-" + std::to_string(getpid()) + "-proc");
  // A test must never reach a real board's registers, whatever the environment says.
  static const bool named =
      unsetenv("LB_DEVICE") == 0 && setenv("LB_SIM", board.name().c_str(), 1) == 0;
  (void)named;
  return board;
}

std::vector<std::string> lines_of(const std::string &text) {
  std::vector<std::string> lines;
  std::string::size_type start = 0;
  while (start < text.size()) {
    auto end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    lines.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return lines;
}

ToolRun run_tool(const std::string &program, const std::vector<std::string> &args,
                 const std::string &board, int timeout_s,
                 const std::vector<std::pair<std::string, std::string>> &env) {
  const std::string path = std::string(ZOL_BIN_DIR) + "/" + program;
  int out_pipe[2], err_pipe[2];
  if (pipe2(out_pipe, O_CLOEXEC) != 0 || pipe2(err_pipe, O_CLOEXEC) != 0)
    throw std::runtime_error("pipe failed");

  const pid_t pid = fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    dup2(out_pipe[1], 1);
    dup2(err_pipe[1], 2);
    setenv("LB_SIM", board.c_str(), 1);
    unsetenv("LB_DEVICE");
    for (const auto &[name, value] : env) setenv(name.c_str(), value.c_str(), 1);
    std::vector<char *> argv;
    argv.push_back(const_cast<char *>(path.c_str()));
    for (const auto &a : args) argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    execv(path.c_str(), argv.data());
    _exit(127);
  }
  close(out_pipe[1]);
  close(err_pipe[1]);

  ToolRun run;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeout_s);
  bool killed = false;
  pollfd fds[2] = {{out_pipe[0], POLLIN, 0}, {err_pipe[0], POLLIN, 0}};
  std::string *sinks[2] = {&run.out, &run.err};
  int open_fds = 2;
  while (open_fds > 0) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      kill(pid, SIGKILL);
      killed = true;
      break;
    }
    if (poll(fds, 2, static_cast<int>(left.count())) < 0) continue;
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
      char buf[4096];
      const ssize_t n = read(fds[i].fd, buf, sizeof buf);
      if (n > 0) {
        sinks[i]->append(buf, static_cast<size_t>(n));
      } else if (n == 0 || errno != EINTR) {
        close(fds[i].fd);
        fds[i].fd = -1;
        --open_fds;
      }
    }
  }
  for (auto &f : fds)
    if (f.fd >= 0) close(f.fd);

  int wstatus = 0;
  waitpid(pid, &wstatus, 0);
  if (killed)
    run.status = -1;
  else if (WIFEXITED(wstatus))
    run.status = WEXITSTATUS(wstatus);
  else if (WIFSIGNALED(wstatus))
    run.status = 128 + WTERMSIG(wstatus);
  return run;
}

}  // namespace boardtest
