// The server's download budgets, read from the environment at start-up.
#include "dim/src/download_limits.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "stapl/src/jbiexprt.h"
#include "stapl/src/jbijtag.h"
#include "stapl/src/jbistub.h"

namespace {

// The largest real configurations need tens of MiB, a few hundred million TCK cycles and a
// few minutes; the defaults leave them ample room.
constexpr long long default_memory_mb = 256;
constexpr long long default_seconds = 600;
constexpr long long default_tck = 10000000000LL;
// Keeps the MiB count's byte value inside the player's counter.
constexpr long long most_memory_mb = 1LL << 20;

struct DownloadLimits {
  long long memory_mb;
  long long seconds;
  long long tck;
};

// The variable's whole-number value, or `fallback` when it is unset, or (with a line on
// standard error) when it is not a number from 0 to `most`.
long long read_limit(const char *name, long long fallback, long long most) {
  const char *text = std::getenv(name);
  if (text == nullptr) return fallback;
  char *end = nullptr;
  errno = 0;
  const long long value = std::strtoll(text, &end, 10);
  if (*text == '\0' || *end != '\0' || errno != 0 || value < 0 || value > most) {
    std::fprintf(stderr, "%s: '%s' is not a whole number from 0 to %lld; using %lld\n", name, text,
                 most, fallback);
    return fallback;
  }
  return value;
}

DownloadLimits read_limits() {
  DownloadLimits limits;
  limits.memory_mb = read_limit("ZOL_PLAYER_MEMORY_MB", default_memory_mb, most_memory_mb);
  limits.seconds = read_limit("ZOL_DOWNLOAD_SECONDS", default_seconds, 1LL << 40);
  limits.tck = read_limit("ZOL_DOWNLOAD_TCK", default_tck, 1LL << 62);
  return limits;
}

// Read when the server starts, so a bad value shows at once and not at the first download.
const DownloadLimits limits = read_limits();

}  // namespace

void apply_download_limits() {
  jbi_memory_budget = static_cast<unsigned long>(limits.memory_mb) << 20;
  jbi_time_limit = static_cast<long>(limits.seconds);
  jbi_tck_limit = static_cast<long>(limits.tck);
}
