// Word parsing, board names, time stamps and stop signals shared by dimctl's subcommands.
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <ctime>

#include "tools/src/dimctl/dimctl.h"

namespace dimctl {

namespace {
std::atomic<bool> g_stop{false};
static_assert(std::atomic<bool>::is_always_lock_free, "the flag is set from a signal handler");

void on_stop_signal(int) { g_stop.store(true); }
}  // namespace

bool parse_word(const std::string &s, uint32_t &out) {
  const char *text = s.c_str();
  errno = 0;
  char *end = nullptr;
  const bool hex = text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
  if (hex) {
    if (text[2] == '\0' || text[2] == '-' || text[2] == '+') return false;
    const unsigned long long v = std::strtoull(text + 2, &end, 16);
    if (errno || *end || v > 0xFFFFFFFFull) return false;
    out = static_cast<uint32_t>(v);
    return true;
  }
  const long long v = std::strtoll(text, &end, 10);
  if (errno || !*text || *end || v < -2147483648LL || v > 0xFFFFFFFFLL) return false;
  out = static_cast<uint32_t>(v);
  return true;
}

std::string board_prefix(const std::string &board) {
  return !board.empty() && board[0] == '/' ? board : "/ZOL/" + board;
}

std::string iso_time_now() {
  using namespace std::chrono;
  const auto now = system_clock::now();
  const std::time_t seconds = system_clock::to_time_t(now);
  const long ms =
      static_cast<long>(duration_cast<milliseconds>(now.time_since_epoch()).count() % 1000);
  std::tm local{};
  localtime_r(&seconds, &local);
  char date[32];
  std::strftime(date, sizeof date, "%Y-%m-%dT%H:%M:%S", &local);
  const long offset = local.tm_gmtoff / 60;
  const long off = offset < 0 ? -offset : offset;
  char text[64];
  std::snprintf(text, sizeof text, "%s.%03ld%c%02ld:%02ld", date, ms, offset < 0 ? '-' : '+',
                off / 60, off % 60);
  return text;
}

void catch_stop_signals() {
  struct sigaction sa {};
  sa.sa_handler = on_stop_signal;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
}

bool stop_requested() { return g_stop.load(); }

}  // namespace dimctl
