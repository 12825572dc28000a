// The messaging library's promised figures, each printed next to its limit at the end:
//  - round trip of one register read (a 20-byte command, the 16-byte update delivered through
//    a monitored subscription) against a bare TCP ping-pong of the same sizes, both with one
//    thread on each side;
//  - commands per second from one client, the server publishing after each;
//  - one update fanned out to 100 subscribers, each on its own connection, and to 100
//    subscriptions sharing one connection.
// The server is a separate process (dim_echo_peer), as on the board.
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/dim/dim.h"
#include "platform/dim/dim_extra.h"
#include "platform/dim/wire.h"
#include "testing/cpu_placement.h"
#include "testing/name_server.h"
#include "testing/proc_figures.h"
#include "testing/process.h"
#include "testing/raw_socket.h"

namespace {

using zoltest::NameServerProcess;
using zoltest::Process;
using Clock = std::chrono::steady_clock;

constexpr const char *kSvc = "/BENCH/SVC";
constexpr const char *kCmd = "/BENCH/CMD";
constexpr double kRoundTripLimit = 1.2;      // times the bare TCP round trip, callback
constexpr double kMainThreadLimit = 1.3;     // the same awaited on a caller's thread
constexpr double kCommandRateLimit = 20000;  // commands per second, at least
constexpr double kFanOutLimitUs = 2000;      // all 100 subscribers served within
constexpr int kBatch = 100;                  // round trips per timed iteration
constexpr int kRateCommands = 5000;          // commands per timed iteration

// Started once for all benchmarks.
struct World {
  NameServerProcess dns;
  std::unique_ptr<Process> peer;
  int server_port = 0;
  World() {
    dns.use();
    peer = std::make_unique<Process>(std::vector<std::string>{
        zoltest::test_bin("dim_echo_peer"), "/BENCH/SERVER", kSvc, kCmd, "0", "16"});
    if (peer->line() != "ready") std::fprintf(stderr, "bench: echo peer did not start\n");
    std::vector<dim::wire::ServerInfo> servers;
    std::string error;
    if (dim::list_servers(servers, error, 5000))
      for (const auto &s : servers)
        if (s.server == "/BENCH/SERVER") server_port = static_cast<int>(s.port);
  }
};
std::unique_ptr<World> g_world;
World &world() {
  if (!g_world) g_world = std::make_unique<World>();
  return *g_world;
}

// The command's second word comes back as the update's second word.
uint32_t value_of(const void *data, int size) {
  uint32_t v = 0;
  if (size >= 8) std::memcpy(&v, static_cast<const char *>(data) + 4, 4);
  return v;
}
void send_value(uint32_t v) {
  uint32_t record[5] = {1, v, 0, 0xFFFFFFFF, 0};
  dic_cmnd_service_(kCmd, record, 20);
}

// Latest value seen per subscription tag; waiters sleep on a condition variable.
std::mutex g_mutex;
std::condition_variable g_cv;
std::atomic<uint32_t> g_seen[101];
void on_delivery(long *tag, void *data, int *size) {
  g_seen[*tag] = value_of(data, *size);
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
unsigned subscribe(long tag, dic_info_callback cb, uint32_t current) {
  g_seen[tag] = 0;
  const unsigned id = dic_info_service_(kSvc, MONITORED, 0, nullptr, 0, cb, tag, nullptr, 0);
  send_value(current);
  wait_all(tag, tag, current);
  return id;
}

// ---- round trip ----

// Ping-pong driven by the callback itself: the client's dispatch thread receives an update
// and sends the next command, exactly as the bare TCP client's one thread does.
std::atomic<uint32_t> g_expect{0};
std::atomic<int> g_left{0};
void on_ping(long *tag, void *data, int *size) {
  const uint32_t v = value_of(data, *size);
  if (v != g_expect || g_left <= 0) {
    on_delivery(tag, data, size);  // not part of a batch: as any other subscription
    return;
  }
  if (--g_left > 0) {
    g_expect = v + 1;
    send_value(v + 1);
    return;
  }
  std::lock_guard lock(g_mutex);
  g_cv.notify_all();
}

// The same sizes over a bare loopback TCP connection: one blocking thread on each side, the
// answering side in a process of its own like the library's server. Made at the start of
// main, before the library starts any thread, so the child is forked from one thread.
class RawPingPong {
 public:
  RawPingPong() {
    // Close-on-exec: the name server and the peer started later must not hold these open.
    const int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    bind(listener, reinterpret_cast<sockaddr *>(&a), sizeof a);
    listen(listener, 1);
    getsockname(listener, reinterpret_cast<sockaddr *>(&a), &len);
    child_ = fork();
    if (child_ == 0) {
      const int s = accept(listener, nullptr, nullptr);
      int one = 1;
      setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
      char in[20], out[16] = {};
      while (read_exactly(s, in, 20)) {
        std::memcpy(out, in, 16);
        send(s, out, 16, MSG_NOSIGNAL);
      }
      _exit(0);
    }
    close(listener);
    client_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    connect(client_, reinterpret_cast<sockaddr *>(&a), sizeof a);
    int one = 1;
    setsockopt(client_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  }
  ~RawPingPong() {
    shutdown(client_, SHUT_RDWR);  // the child sees the end of the stream and exits
    close(client_);
    if (child_ > 0) waitpid(child_, nullptr, 0);
  }
  pid_t child() const { return child_; }
  void round_trips(int n) {
    char req[20] = {}, rep[16];
    for (int i = 0; i < n; ++i) {
      send(client_, req, 20, MSG_NOSIGNAL);
      read_exactly(client_, rep, 16);
    }
  }

 private:
  static bool read_exactly(int s, char *p, std::size_t n) {
    std::size_t got = 0;
    while (got < n) {
      const ssize_t r = recv(s, p + got, n - got, 0);
      if (r <= 0) return false;
      got += static_cast<std::size_t>(r);
    }
    return true;
  }
  pid_t child_ = -1;
  int client_ = -1;
};
std::unique_ptr<RawPingPong> g_raw;

// Thread wake-ups on each side over the round trips of one kind, all batches of a run.
struct Wakeups {
  long station = 0, peer = 0, trips = 0;
  // Runs `batch` (`n` round trips against `peer`) and adds what it cost each side.
  template <class F>
  void count(pid_t peer_pid, int n, F &&batch) {
    const long s0 = zoltest::thread_sleeps(getpid()), p0 = zoltest::thread_sleeps(peer_pid);
    batch();
    station += zoltest::thread_sleeps(getpid()) - s0;
    peer += zoltest::thread_sleeps(peer_pid) - p0;
    trips += n;
  }
  double per_trip(long v) const { return trips ? double(v) / double(trips) : 0; }
};

double median(std::vector<double> v) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

// The round-trip figures of one placement of the station and the server (and of the bare
// TCP peer), collected over all batches of a run.
struct RoundTrips {
  zoltest::Placement where;
  std::vector<double> raw_us, library_us, raw_main_us, library_main_us;
  Wakeups raw, library, raw_main, library_main;
};
std::vector<RoundTrips> g_round_trips;  // sized in main before any benchmark runs

// Each iteration times a batch of bare TCP round trips and then a batch through the library,
// back to back, so both see the same load on a shared machine; the medians are compared.
void BM_RoundTripLibraryAgainstRawTcp(benchmark::State &state, RoundTrips *fig) {
  world();
  RawPingPong &raw = *g_raw;
  const zoltest::Placed placed(fig->where, {raw.child(), world().peer->pid()});
  uint32_t n = 1000;
  const unsigned id = subscribe(0, on_ping, n);
  for (auto _ : state) {
    // Each batch is timed inside its own counting: the /proc reads around it stay outside.
    Clock::time_point t0, t1, t2, t3;
    fig->raw.count(raw.child(), kBatch, [&] {
      t0 = Clock::now();
      raw.round_trips(kBatch);
      t1 = Clock::now();
    });
    fig->library.count(world().peer->pid(), kBatch, [&] {
      t2 = Clock::now();
      g_left = kBatch;
      g_expect = ++n;
      send_value(n);
      {
        std::unique_lock lock(g_mutex);
        if (!g_cv.wait_for(lock, std::chrono::seconds(5), [] { return g_left <= 0; }))
          state.SkipWithError("no answer");
      }
      t3 = Clock::now();
    });
    n = g_expect;
    fig->raw_us.push_back(std::chrono::duration<double, std::micro>(t1 - t0).count() / kBatch);
    fig->library_us.push_back(std::chrono::duration<double, std::micro>(t3 - t2).count() / kBatch);
  }
  dim::release_service(id);
  state.counters["raw_us"] = median(fig->raw_us);
  state.counters["library_us"] = median(fig->library_us);
}

// The way scripts and rwreg wait: the main thread sends, then waits in the library, which
// lets it read the answer itself. Batches alternate with bare TCP batches as above.
void BM_LibraryRoundTripFromMainThread(benchmark::State &state, RoundTrips *fig) {
  world();
  RawPingPong &raw = *g_raw;
  const zoltest::Placed placed(fig->where, {raw.child(), world().peer->pid()});
  uint32_t n = 200000;
  const unsigned id = subscribe(0, on_delivery, n);
  for (auto _ : state) {
    Clock::time_point t0, t1, t2, t3;
    fig->raw_main.count(raw.child(), kBatch, [&] {
      t0 = Clock::now();
      raw.round_trips(kBatch);
      t1 = Clock::now();
    });
    fig->library_main.count(world().peer->pid(), kBatch, [&] {
      t2 = Clock::now();
      for (int i = 0; i < kBatch; ++i) {
        send_value(++n);
        if (!dim::wait_until([n] { return g_seen[0] == n; }, 5000))
          state.SkipWithError("no answer");
      }
      t3 = Clock::now();
    });
    fig->raw_main_us.push_back(std::chrono::duration<double, std::micro>(t1 - t0).count() / kBatch);
    fig->library_main_us.push_back(std::chrono::duration<double, std::micro>(t3 - t2).count() /
                                   kBatch);
  }
  dim::release_service(id);
  state.counters["raw_us"] = median(fig->raw_main_us);
  state.counters["library_us"] = median(fig->library_main_us);
}

// Both round trips once for each placement: each side on a core of its own, both on one.
void register_round_trips() {
  for (const zoltest::Placement &where : zoltest::placements()) {
    g_round_trips.emplace_back();
    g_round_trips.back().where = where;
  }
  for (RoundTrips &fig : g_round_trips) {
    benchmark::RegisterBenchmark(("BM_RoundTripLibraryAgainstRawTcp/" + fig.where.name).c_str(),
                                 BM_RoundTripLibraryAgainstRawTcp, &fig)
        ->UseRealTime()
        ->Unit(benchmark::kMicrosecond)
        ->MinTime(2.0);
    benchmark::RegisterBenchmark(("BM_LibraryRoundTripFromMainThread/" + fig.where.name).c_str(),
                                 BM_LibraryRoundTripFromMainThread, &fig)
        ->UseRealTime()
        ->Unit(benchmark::kMicrosecond)
        ->MinTime(2.0);
  }
}

// ---- command rate ----

// Commands sent back to back from the main thread; timed until the update of the last one
// has been delivered.
void BM_CommandRate(benchmark::State &state) {
  world();
  uint32_t n = 400000;
  const unsigned id = subscribe(0, on_delivery, n);
  for (auto _ : state) {
    for (int i = 0; i < kRateCommands; ++i) send_value(++n);
    if (!wait_all(0, 0, n)) state.SkipWithError("last update not delivered");
  }
  dim::release_service(id);
  state.counters["commands_per_second"] = benchmark::Counter(
      static_cast<double>(state.iterations()) * kRateCommands, benchmark::Counter::kIsRate);
}
BENCHMARK(BM_CommandRate)->UseRealTime()->Unit(benchmark::kMillisecond);

// ---- fan-out ----

double percentile(std::vector<double> v, double p) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  return v[std::min(v.size() - 1, static_cast<std::size_t>(p * static_cast<double>(v.size())))];
}

// 100 stations, each with its own connection (speaking the frame protocol by hand, read by
// one poll loop here): time from the command until every one of them holds the update.
std::vector<double> g_fanout_conn_us;
void BM_FanOutTo100Connections(benchmark::State &state) {
  World &w = world();
  constexpr int kSubscribers = 100;
  std::vector<std::unique_ptr<zoltest::RawSocket>> socks;
  std::vector<dim::wire::FrameReader> readers(kSubscribers);
  std::vector<pollfd> fds;
  for (int i = 0; i < kSubscribers; ++i) {
    socks.push_back(std::make_unique<zoltest::RawSocket>(w.server_port));
    if (!socks.back()->ok()) {
      state.SkipWithError("cannot connect to the server");
      return;
    }
    socks.back()->send_all(dim::wire::encode(dim::wire::SubscribeMsg{1, kSvc}));
    fds.push_back(pollfd{socks.back()->fd(), POLLIN, 0});
  }
  std::vector<uint32_t> seen(kSubscribers, 0);
  std::vector<dim::wire::Frame> frames;
  // Reads until every station's latest update carries `value`, or 5 s pass.
  auto collect = [&](uint32_t value) {
    const auto end = Clock::now() + std::chrono::seconds(5);
    int missing = kSubscribers;
    for (int i = 0; i < kSubscribers; ++i)
      if (seen[i] == value) --missing;
    while (missing > 0 && Clock::now() < end) {
      if (poll(fds.data(), fds.size(), 100) <= 0) continue;
      for (int i = 0; i < kSubscribers; ++i) {
        if (!(fds[i].revents & POLLIN)) continue;
        auto buf = readers[i].buffer();
        const ssize_t r = recv(fds[i].fd, buf.data(), buf.size(), 0);
        if (r <= 0) return false;
        frames.clear();
        if (readers[i].commit(static_cast<std::size_t>(r), frames)) return false;
        for (const auto &f : frames) {
          auto d = dim::wire::decode_data(f);
          if (!d) continue;
          const uint32_t v = value_of(d->data, static_cast<int>(d->size));
          if (v == value && seen[i] != value) --missing;
          seen[i] = v;
        }
      }
    }
    return missing == 0;
  };
  uint32_t n = 600000;
  send_value(n);
  if (!collect(n)) state.SkipWithError("not all 100 stations subscribed");
  for (auto _ : state) {
    const auto t0 = Clock::now();
    send_value(++n);
    if (!collect(n)) state.SkipWithError("not all 100 received");
    g_fanout_conn_us.push_back(
        std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
  }
  state.counters["p99_us"] = percentile(g_fanout_conn_us, 0.99);
}
BENCHMARK(BM_FanOutTo100Connections)->UseRealTime()->Unit(benchmark::kMicrosecond);

// 100 subscriptions of this one process, sharing its connection to the server.
std::vector<double> g_fanout_subs_us;
void BM_FanOutTo100Subscriptions(benchmark::State &state) {
  world();
  uint32_t n = 800000;
  std::vector<unsigned> ids;
  for (long t = 1; t <= 100; ++t) {
    g_seen[t] = 0;
    ids.push_back(dic_info_service_(kSvc, MONITORED, 0, nullptr, 0, on_delivery, t, nullptr, 0));
  }
  send_value(n);
  if (!wait_all(1, 100, n)) state.SkipWithError("not all 100 subscribed");
  for (auto _ : state) {
    const auto t0 = Clock::now();
    send_value(++n);
    if (!wait_all(1, 100, n)) state.SkipWithError("not all 100 received");
    g_fanout_subs_us.push_back(
        std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
  }
  for (unsigned id : ids) dim::release_service(id);
  state.counters["p99_us"] = percentile(g_fanout_subs_us, 0.99);
}
BENCHMARK(BM_FanOutTo100Subscriptions)->UseRealTime()->Unit(benchmark::kMicrosecond);

// Collects the figures to print them next to their limits.
struct Figures {
  double rate = 0;
  double fanout_conn_us = 0, fanout_subs_us = 0;
} g_fig;

class Summary : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run> &runs) override {
    for (const auto &r : runs) {
      const std::string name = r.benchmark_name();
      const double t = r.GetAdjustedRealTime();
      auto is = [&](const char *prefix) { return name.rfind(prefix, 0) == 0; };
      if (is("BM_CommandRate") && t > 0)
        g_fig.rate = kRateCommands / (t * 1e-3);
      else if (is("BM_FanOutTo100Connections"))
        g_fig.fanout_conn_us = t;
      else if (is("BM_FanOutTo100Subscriptions"))
        g_fig.fanout_subs_us = t;
    }
    ConsoleReporter::ReportRuns(runs);
  }
};

const char *verdict(bool ok) { return ok ? "met" : "OVER LIMIT"; }

void print_wakeups(const Wakeups &library, const Wakeups &raw) {
  if (library.trips == 0 || raw.trips == 0) return;
  std::printf(
      "  thread wake-ups per round trip: library station %.2f, server %.2f; "
      "raw TCP client %.2f, server %.2f\n",
      library.per_trip(library.station), library.per_trip(library.peer), raw.per_trip(raw.station),
      raw.per_trip(raw.peer));
}

}  // namespace

int main(int argc, char **argv) {
  setvbuf(stdout, nullptr, _IOLBF, 0);
  register_round_trips();
  benchmark::Initialize(&argc, argv);
  g_raw = std::make_unique<RawPingPong>();
  Summary reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  auto &f = g_fig;
  for (const RoundTrips &rt : g_round_trips) {
    const double library_us = median(rt.library_us), raw_us = median(rt.raw_us);
    if (library_us > 0 && raw_us > 0)
      std::printf(
          "round trip 20-byte command -> 16-byte update, %s (medians of interleaved batches): "
          "library %.1f us, raw TCP %.1f us: %.2fx (limit %.1fx) %s\n",
          rt.where.name.c_str(), library_us, raw_us, library_us / raw_us, kRoundTripLimit,
          verdict(library_us <= kRoundTripLimit * raw_us));
    print_wakeups(rt.library, rt.raw);
    const double library_main_us = median(rt.library_main_us), raw_main_us = median(rt.raw_main_us);
    if (library_main_us > 0 && raw_main_us > 0)
      std::printf(
          "the same sent from and awaited on the main thread (dim::wait_until), %s: "
          "library %.1f us, raw TCP %.1f us: %.2fx (limit %.1fx) %s\n",
          rt.where.name.c_str(), library_main_us, raw_main_us, library_main_us / raw_main_us,
          kMainThreadLimit, verdict(library_main_us <= kMainThreadLimit * raw_main_us));
    print_wakeups(rt.library_main, rt.raw_main);
  }
  if (f.rate > 0)
    std::printf(
        "commands from one client, server publishing after each: %.0f per second "
        "(limit at least %.0f) %s\n",
        f.rate, kCommandRateLimit, verdict(f.rate >= kCommandRateLimit));
  if (!g_fanout_conn_us.empty())
    std::printf(
        "one update to 100 subscribers on 100 connections: mean %.0f us, p99 %.0f us, "
        "worst %.0f us (limit %.0f us) %s\n",
        f.fanout_conn_us, percentile(g_fanout_conn_us, 0.99), percentile(g_fanout_conn_us, 1.0),
        kFanOutLimitUs, verdict(percentile(g_fanout_conn_us, 0.99) <= kFanOutLimitUs));
  if (!g_fanout_subs_us.empty())
    std::printf(
        "one update to 100 subscriptions on one connection: mean %.0f us, p99 %.0f us, "
        "worst %.0f us (limit %.0f us) %s\n",
        f.fanout_subs_us, percentile(g_fanout_subs_us, 0.99), percentile(g_fanout_subs_us, 1.0),
        kFanOutLimitUs, verdict(percentile(g_fanout_subs_us, 0.99) <= kFanOutLimitUs));
  benchmark::Shutdown();
  g_raw.reset();
  g_world.reset();  // stops the peer and the name server
  return 0;
}
