// Child processes for the messaging tests: start a program with its stdout and stderr on
// pipes, read its lines, stop it. Every child is killed when its object goes.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <vector>

extern char **environ;

namespace dim::test {

inline std::string bin(const std::string &name) { return std::string(ZOL_BIN_DIR) + "/" + name; }
inline std::string test_bin(const std::string &name) {
  return std::string(ZOL_BUILD_DIR) + "/test-bin/" + name;
}

// Polls `ready` until it holds or `ms` pass.
inline bool wait_for(const std::function<bool()> &ready, int ms = 5000) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (std::chrono::steady_clock::now() < end) {
    if (ready()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return ready();
}

class Child {
 public:
  explicit Child(std::vector<std::string> argv) {
    int out[2], err[2];
    if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) std::abort();
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, out[1], 1);
    posix_spawn_file_actions_adddup2(&fa, err[1], 2);
    std::vector<char *> args;
    for (auto &a : argv) args.push_back(a.data());
    args.push_back(nullptr);
    if (posix_spawn(&pid_, args[0], &fa, nullptr, args.data(), environ) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&fa);
    close(out[1]);
    close(err[1]);
    out_ = out[0];
    err_ = err[0];
  }
  Child(const Child &) = delete;
  Child &operator=(const Child &) = delete;
  ~Child() {
    kill_now();
    close(out_);
    close(err_);
  }

  pid_t pid() const { return pid_; }

  // Next line of standard output, waiting up to `ms`.
  std::optional<std::string> line(int ms = 5000) { return next_line(out_, out_buf_, ms); }
  std::optional<std::string> err_line(int ms = 5000) { return next_line(err_, err_buf_, ms); }
  // Everything on stderr so far (waits up to `ms` for more).
  std::string err_text(int ms = 200) {
    std::string all;
    while (auto l = err_line(ms)) all += *l + "\n";
    return all + err_buf_;
  }

  void signal(int sig) {
    if (pid_ > 0 && !status_) ::kill(pid_, sig);
  }
  void kill_now() {
    signal(SIGKILL);
    wait_exit(5000);
  }
  // Exit status (or 128 + signal) once the child has ended, waiting up to `ms`.
  std::optional<int> wait_exit(int ms) {
    if (pid_ <= 0) return -1;
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!status_) {
      int st = 0;
      if (waitpid(pid_, &st, WNOHANG) == pid_) {
        status_ = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
        break;
      }
      if (std::chrono::steady_clock::now() >= end) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return status_;
  }

 private:
  static std::optional<std::string> next_line(int fd, std::string &buf, int ms) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    for (;;) {
      auto nl = buf.find('\n');
      if (nl != std::string::npos) {
        std::string l = buf.substr(0, nl);
        buf.erase(0, nl + 1);
        return l;
      }
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                            end - std::chrono::steady_clock::now())
                            .count();
      if (left <= 0) return std::nullopt;
      pollfd p{fd, POLLIN, 0};
      if (poll(&p, 1, static_cast<int>(left)) <= 0) return std::nullopt;
      char chunk[4096];
      const ssize_t n = read(fd, chunk, sizeof chunk);
      if (n <= 0) return std::nullopt;
      buf.append(chunk, static_cast<std::size_t>(n));
    }
  }

  pid_t pid_ = -1;
  int out_ = -1;
  int err_ = -1;
  std::string out_buf_;
  std::string err_buf_;
  std::optional<int> status_;
};

// A name server of its own for one test, on a free port (or a given one, to restart it).
// Without a grace period by default: a test's servers need not wait for returning ones.
class NameServerProcess {
 public:
  explicit NameServerProcess(int port = 0, std::vector<std::string> options = {"--grace", "0"})
      : child_(argv(port, std::move(options))) {
    auto first = child_.line();
    const std::string prefix = "dim_dns: listening on port ";
    if (first && first->rfind(prefix, 0) == 0) port_ = std::atoi(first->c_str() + prefix.size());
  }
  int port() const { return port_; }
  Child &child() { return child_; }
  // Points this process's library (and children started later) at this name server.
  void use() const {
    setenv("DIM_DNS_NODE", "127.0.0.1", 1);
    setenv("DIM_DNS_PORT", std::to_string(port_).c_str(), 1);
  }

 private:
  static std::vector<std::string> argv(int port, std::vector<std::string> options) {
    std::vector<std::string> a{bin("dim_dns"), "-p", std::to_string(port)};
    a.insert(a.end(), options.begin(), options.end());
    return a;
  }

  Child child_;
  int port_ = 0;
};

}  // namespace dim::test
