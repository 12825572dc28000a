#include "testing/process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <map>
#include <sstream>
#include <stdexcept>

extern char **environ;

namespace zoltest {

namespace {

std::vector<std::string> merged_environment(const Env &extra,
                                            const std::vector<std::string> &unset) {
  std::map<std::string, std::string> vars;
  for (char **e = environ; *e != nullptr; ++e) {
    std::string entry(*e);
    auto eq = entry.find('=');
    if (eq != std::string::npos) vars[entry.substr(0, eq)] = entry.substr(eq + 1);
  }
  for (const auto &name : unset) vars.erase(name);
  for (const auto &[name, value] : extra) vars[name] = value;
  std::vector<std::string> out;
  for (const auto &[name, value] : vars) out.push_back(name + "=" + value);
  return out;
}

std::vector<char *> c_array(std::vector<std::string> &strings) {
  std::vector<char *> out;
  for (auto &s : strings) out.push_back(s.data());
  out.push_back(nullptr);
  return out;
}

int decode_status(int raw) {
  if (WIFEXITED(raw)) return WEXITSTATUS(raw);
  if (WIFSIGNALED(raw)) return 128 + WTERMSIG(raw);
  return -1;
}

}  // namespace

std::string bin(const std::string &program) { return std::string(ZOL_BIN_DIR) + "/" + program; }

std::string test_bin(const std::string &program) {
  return std::string(ZOL_TEST_BIN_DIR) + "/" + program;
}

bool wait_for(const std::function<bool()> &ready, std::chrono::milliseconds timeout) {
  const auto end = std::chrono::steady_clock::now() + timeout;
  while (std::chrono::steady_clock::now() < end) {
    if (ready()) return true;
    std::this_thread::sleep_for(5ms);
  }
  return ready();
}

Process::Process(std::vector<std::string> argv, const Env &env,
                 const std::vector<std::string> &unset) {
  // Everything the child needs is built before the fork: after it, only system calls.
  std::vector<std::string> envs = merged_environment(env, unset);
  std::vector<char *> c_argv = c_array(argv);
  std::vector<char *> c_env = c_array(envs);

  int in[2], out[2], err[2];
  if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0)
    throw std::runtime_error("pipe failed");
  pid_t parent = getpid();
  pid_ = fork();
  if (pid_ < 0) throw std::runtime_error("fork failed");
  if (pid_ == 0) {
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != parent) _exit(127);
    dup2(in[0], 0);
    dup2(out[1], 1);
    dup2(err[1], 2);
    // The test process may hold stop signals blocked; the child starts clean.
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    execve(c_argv[0], c_argv.data(), c_env.data());
    const char msg[] = "exec failed\n";
    ssize_t ignored = write(2, msg, sizeof msg - 1);
    (void)ignored;
    _exit(127);
  }
  close(in[0]);
  close(out[1]);
  close(err[1]);
  stdin_fd_ = in[1];
  stdout_fd_ = out[0];
  stderr_fd_ = err[0];
  reader_ = std::thread([this] { reader(); });
}

Process::~Process() {
  kill_now();
  close_stdin();
  if (reader_.joinable()) reader_.join();
}

void Process::reader() {
  pollfd fds[2] = {{stdout_fd_, POLLIN, 0}, {stderr_fd_, POLLIN, 0}};
  int open_count = 2;
  char buf[4096];
  while (open_count > 0) {
    if (poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      ssize_t n = read(fds[i].fd, buf, sizeof buf);
      if (n > 0) {
        std::lock_guard<std::mutex> lock(mutex_);
        (i == 0 ? out_ : err_).append(buf, static_cast<size_t>(n));
        changed_.notify_all();
      } else if (n == 0 || (n < 0 && errno != EINTR && errno != EAGAIN)) {
        close(fds[i].fd);
        fds[i].fd = -1;
        --open_count;
      }
    }
  }
  for (auto &f : fds)
    if (f.fd >= 0) close(f.fd);
  std::lock_guard<std::mutex> lock(mutex_);
  streams_closed_ = true;
  changed_.notify_all();
}

std::string Process::out() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return out_;
}

std::string Process::err() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return err_;
}

std::optional<std::string> Process::next_line(const std::string &text, std::size_t &taken,
                                              std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> lock(mutex_);
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    const auto nl = text.find('\n', taken);
    if (nl != std::string::npos) {
      std::string l = text.substr(taken, nl - taken);
      taken = nl + 1;
      return l;
    }
    if (streams_closed_) return std::nullopt;
    if (changed_.wait_until(lock, deadline) == std::cv_status::timeout &&
        text.find('\n', taken) == std::string::npos)
      return std::nullopt;
  }
}

std::optional<std::string> Process::line(std::chrono::milliseconds timeout) {
  return next_line(out_, out_taken_, timeout);
}

std::optional<std::string> Process::err_line(std::chrono::milliseconds timeout) {
  return next_line(err_, err_taken_, timeout);
}

std::string Process::err_text(std::chrono::milliseconds quiet) {
  std::string all;
  while (auto l = err_line(quiet)) all += *l + "\n";
  std::lock_guard<std::mutex> lock(mutex_);
  all += err_.substr(err_taken_);
  err_taken_ = err_.size();
  return all;
}

bool Process::wait_text(const std::string *which,
                        const std::function<bool(const std::string &)> &done,
                        std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> lock(mutex_);
  auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    if (done(*which)) return true;
    if (streams_closed_) return false;
    if (changed_.wait_until(lock, deadline) == std::cv_status::timeout) return done(*which);
  }
}

bool Process::wait_out(const std::function<bool(const std::string &)> &done,
                       std::chrono::milliseconds timeout) {
  return wait_text(&out_, done, timeout);
}

bool Process::wait_err(const std::function<bool(const std::string &)> &done,
                       std::chrono::milliseconds timeout) {
  return wait_text(&err_, done, timeout);
}

bool Process::wait_for(const std::string &text, std::chrono::milliseconds timeout) {
  return wait_out([&](const std::string &s) { return s.find(text) != std::string::npos; }, timeout);
}

void Process::write_stdin(const std::string &text) {
  if (stdin_fd_ < 0) return;
  const char *p = text.data();
  size_t left = text.size();
  while (left > 0) {
    ssize_t n = write(stdin_fd_, p, left);
    if (n < 0) {
      if (errno == EINTR) continue;
      return;
    }
    p += n;
    left -= static_cast<size_t>(n);
  }
}

void Process::close_stdin() {
  if (stdin_fd_ >= 0) close(stdin_fd_);
  stdin_fd_ = -1;
}

void Process::signal(int sig) {
  // Once reaped, the pid may belong to someone else.
  if (!status_ && pid_ > 0) kill(pid_, sig);
}

std::optional<int> Process::wait_exit(std::chrono::milliseconds timeout) {
  if (status_) return status_;
  auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    int raw = 0;
    pid_t r = waitpid(pid_, &raw, WNOHANG);
    if (r == pid_) {
      status_ = decode_status(raw);
      // What the program wrote before it ended is read before its status counts as known,
      // unless something it started still holds its output open.
      std::unique_lock<std::mutex> lock(mutex_);
      changed_.wait_for(lock, 1s, [this] { return streams_closed_; });
      return status_;
    }
    if (r < 0 && errno != EINTR) {
      status_ = -1;
      return status_;
    }
    if (std::chrono::steady_clock::now() >= deadline) return std::nullopt;
    std::this_thread::sleep_for(5ms);
  }
}

int Process::stop(std::chrono::milliseconds grace) {
  signal(SIGTERM);
  if (auto s = wait_exit(grace)) return *s;
  return kill_now();
}

int Process::kill_now() {
  signal(SIGKILL);
  auto s = wait_exit(10s);
  return s ? *s : -1;
}

RunResult run(std::vector<std::string> argv, const Env &env, std::chrono::milliseconds timeout,
              const std::vector<std::string> &unset) {
  Process p(std::move(argv), env, unset);
  p.close_stdin();
  RunResult result;
  auto status = p.wait_exit(timeout);
  if (!status) p.kill_now();
  // The output is complete once both streams have closed.
  p.wait_out([](const std::string &) { return false; }, 2s);
  result.status = status ? *status : -1;
  result.out = p.out();
  result.err = p.err();
  return result;
}

std::vector<std::string> lines_of(const std::string &text) {
  std::vector<std::string> out;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) {
      out.push_back(text.substr(start));
      break;
    }
    out.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return out;
}

std::vector<std::string> words_of(const std::string &command) {
  std::vector<std::string> words;
  std::istringstream in(command);
  for (std::string w; in >> w;) words.push_back(w);
  return words;
}

}  // namespace zoltest
