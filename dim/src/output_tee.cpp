#include "dim/src/output_tee.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>

namespace {

int Saved_stdout = -1;
int Pipe_read = -1;
std::thread Copier;
// The copier's tail: written by the copier only, read after it has been joined.
std::string Tail;

// Longest tail kept while copying; trimmed to whole lines at the end.
constexpr size_t kKeep = 32768;

void write_all(int fd, const char *data, size_t n) {
  while (n > 0) {
    const ssize_t w = write(fd, data, n);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) return;  // the output is gone; the copy for the report goes on
    data += w;
    n -= static_cast<size_t>(w);
  }
}

void copy_until_closed(int from, int to) {
  char buffer[4096];
  for (;;) {
    const ssize_t n = read(from, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    write_all(to, buffer, static_cast<size_t>(n));
    Tail.append(buffer, static_cast<size_t>(n));
    if (Tail.size() > 2 * kKeep) Tail.erase(0, Tail.size() - kKeep);
  }
}

}  // namespace

int tee_begin() {
  Tail.clear();
  int fds[2];
  if (pipe(fds) != 0) return 0;
  std::fflush(stdout);
  Saved_stdout = dup(STDOUT_FILENO);
  if (Saved_stdout < 0 || dup2(fds[1], STDOUT_FILENO) < 0) {
    if (Saved_stdout >= 0) close(Saved_stdout);
    Saved_stdout = -1;
    close(fds[0]);
    close(fds[1]);
    return 0;
  }
  close(fds[1]);
  Pipe_read = fds[0];
  Copier = std::thread(copy_until_closed, Pipe_read, Saved_stdout);
  return 1;
}

uint32_t tee_end(char *lines, size_t size) {
  if (Saved_stdout >= 0) {
    std::fflush(stdout);
    // The pipe's last writer goes with this: the copier reads to the end and stops.
    dup2(Saved_stdout, STDOUT_FILENO);
    Copier.join();  // it writes to the saved descriptor until the end
    close(Saved_stdout);
    Saved_stdout = -1;
    close(Pipe_read);
    Pipe_read = -1;
  }
  if (size == 0) return 0;
  // The last TEE_MAX_LINES lines that fit, beginning at a line's start.
  size_t start = Tail.size();
  int count = 0;
  while (start > 0 && count < TEE_MAX_LINES) {
    const size_t previous = Tail.rfind('\n', start >= 2 ? start - 2 : 0);
    const size_t line_start = previous == std::string::npos ? 0 : previous + 1;
    if (Tail.size() - line_start + 1 > size) break;
    start = line_start;
    ++count;
    if (previous == std::string::npos) break;
  }
  const size_t n = Tail.size() - start;
  std::memcpy(lines, Tail.data() + start, n);
  lines[n] = '\0';
  return static_cast<uint32_t>(n + 1);
}
