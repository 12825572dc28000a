// Round trip of a 20-byte command answered by a 16-byte update, through the library and
// through a bare TCP ping-pong of the same sizes; and one update fanned out to 100
// subscriptions. The server is a separate process (dim_echo_peer), as on the board.
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>

#include "platform/dim/dim.h"
#include "platform/dim/dim_extra.h"
#include "platform/dim/tests/child_process.h"

namespace {

using dim::test::Child;
using dim::test::NameServerProcess;

// Started once for all benchmarks.
struct World {
  NameServerProcess dns;
  std::unique_ptr<Child> peer;
  World() {
    dns.use();
    peer = std::make_unique<Child>(std::vector<std::string>{
        dim::test::test_bin("dim_echo_peer"), "/BENCH/SERVER", "/BENCH/SVC", "/BENCH/CMD", "0",
        "16"});
    if (peer->line() != "ready") std::fprintf(stderr, "bench: echo peer did not start\n");
  }
};
std::unique_ptr<World> g_world;
World &world() {
  if (!g_world) g_world = std::make_unique<World>();
  return *g_world;
}

// Deliveries counted per subscription tag; the waiter sleeps on a condition variable.
std::mutex g_mutex;
std::condition_variable g_cv;
std::atomic<uint32_t> g_seen[101];
void on_delivery(long *tag, void *data, int *size) {
  uint32_t v = 0;
  if (*size >= 8) std::memcpy(&v, static_cast<char *>(data) + 4, 4);
  g_seen[*tag] = v;
  std::lock_guard lock(g_mutex);
  g_cv.notify_all();
}
bool wait_all(long first, long last, uint32_t value) {
  std::unique_lock lock(g_mutex);
  return g_cv.wait_for(lock, std::chrono::seconds(5), [&] {
    for (long t = first; t <= last; ++t)
      if (g_seen[t] != value) return false;
    return true;
  });
}

double g_library_us = 0;
double g_raw_us = 0;

void BM_LibraryRoundTrip(benchmark::State &state) {
  world();
  dic_info_service_("/BENCH/SVC", MONITORED, 0, nullptr, 0, on_delivery, 0, nullptr, 0);
  uint32_t record[5] = {1, 0, 0, 0xFFFFFFFF, 0};
  uint32_t n = 1000;
  for (auto _ : state) {
    record[1] = ++n;
    dic_cmnd_service_("/BENCH/CMD", record, 20);
    if (!wait_all(0, 0, n)) state.SkipWithError("no answer");
  }
  state.counters["us_per_round_trip"] =
      benchmark::Counter(static_cast<double>(state.iterations()),
                         benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_LibraryRoundTrip)->UseRealTime()->Unit(benchmark::kMicrosecond);

// The same sizes over a bare loopback TCP connection to a thread that answers at once.
void BM_RawTcpRoundTrip(benchmark::State &state) {
  int listener = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  bind(listener, reinterpret_cast<sockaddr *>(&a), sizeof a);
  listen(listener, 1);
  getsockname(listener, reinterpret_cast<sockaddr *>(&a), &len);
  std::thread answer([listener] {
    int s = accept(listener, nullptr, nullptr);
    int one = 1;
    setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    char in[20], out[16] = {};
    for (;;) {
      std::size_t got = 0;
      while (got < 20) {
        const ssize_t r = recv(s, in + got, 20 - got, 0);
        if (r <= 0) {
          close(s);
          return;
        }
        got += static_cast<std::size_t>(r);
      }
      std::memcpy(out, in, 16);
      send(s, out, 16, MSG_NOSIGNAL);
    }
  });
  int c = socket(AF_INET, SOCK_STREAM, 0);
  connect(c, reinterpret_cast<sockaddr *>(&a), sizeof a);
  int one = 1;
  setsockopt(c, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  char req[20] = {}, rep[16];
  for (auto _ : state) {
    send(c, req, 20, MSG_NOSIGNAL);
    std::size_t got = 0;
    while (got < 16) {
      const ssize_t r = recv(c, rep + got, 16 - got, 0);
      if (r <= 0) break;
      got += static_cast<std::size_t>(r);
    }
  }
  close(c);
  answer.join();
  close(listener);
}
BENCHMARK(BM_RawTcpRoundTrip)->UseRealTime()->Unit(benchmark::kMicrosecond);

// Time from the command until all 100 subscriptions hold the new contents.
void BM_FanOutTo100(benchmark::State &state) {
  world();
  for (long t = 1; t <= 100; ++t)
    dic_info_service_("/BENCH/SVC", MONITORED, 0, nullptr, 0, on_delivery, t, nullptr, 0);
  uint32_t record[5] = {1, 0, 0, 0xFFFFFFFF, 0};
  uint32_t n = 500000;
  for (auto _ : state) {
    record[1] = ++n;
    dic_cmnd_service_("/BENCH/CMD", record, 20);
    if (!wait_all(1, 100, n)) state.SkipWithError("not all 100 received");
  }
}
BENCHMARK(BM_FanOutTo100)->UseRealTime()->Unit(benchmark::kMicrosecond);

// Collects the two round-trip times to print them side by side.
class Summary : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run> &runs) override {
    for (const auto &r : runs) {
      const double us = r.GetAdjustedRealTime();
      if (r.benchmark_name().rfind("BM_LibraryRoundTrip", 0) == 0) g_library_us = us;
      if (r.benchmark_name().rfind("BM_RawTcpRoundTrip", 0) == 0) g_raw_us = us;
    }
    ConsoleReporter::ReportRuns(runs);
  }
};

}  // namespace

int main(int argc, char **argv) {
  setvbuf(stdout, nullptr, _IOLBF, 0);
  benchmark::Initialize(&argc, argv);
  Summary reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  if (g_library_us > 0 && g_raw_us > 0)
    std::printf("round trip 20-byte command -> 16-byte update: library %.1f us, raw TCP %.1f us "
                "(%.1fx; the library adds one thread hand-off each way on each side)\n",
                g_library_us, g_raw_us, g_library_us / g_raw_us);
  benchmark::Shutdown();
  g_world.reset();  // stops the peer and the name server
  return 0;
}
