// Figures of the register service through ZOL_server on a simulated board, each printed
// next to the limit it is held to, measured in the same run:
//   - one register read, command sent to update received, against a raw TCP ping-pong of
//     the same sizes between two processes: answer taken in a callback that sends the next
//     read (limit: 1.2 times the raw figure), and sent and awaited on the main thread as a
//     script does (limit: 1.3 times), each with the thread wake-ups per read on both sides
//     and the floor that this machine's price of a system call sets for an event loop;
//   - register commands per second from one client (limit: at least 20000/s);
//   - one update delivered to 100 subscribers (limit: all within 2 ms of the command).
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
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
#include <string>
#include <vector>

#include "platform/dim/dim.h"
#include "platform/dim/dim_extra.h"
#include "testing/cpu_placement.h"
#include "testing/name_server.h"
#include "testing/proc_figures.h"
#include "testing/process.h"
#include "testing/stop_signals.h"
#include "testing/syscall_cost.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;
using zoltest::Process;

const char *const kCmd = "/ZOL/KeshV2_00/CMD/ReadWriteRegisters";
const char *const kSvc = "/ZOL/KeshV2_00/SVC/UpdateRegisters";
constexpr uint32_t kReg = 0x38;
constexpr uint32_t kMarkerReg = 0x3C0;

struct WriteRecord {
  int32_t method;
  uint32_t addr, val, mask;
  int32_t write;
};
struct ReadRecord {
  uint32_t method, addr, val, mask;
};

// Deliveries of the service to the benchmark's main subscription.
struct Deliveries {
  std::mutex mutex;
  std::condition_variable arrived;
  uint64_t count = 0;
  ReadRecord last{};
  int last_size = 0;
  Clock::time_point last_time;  // when the library handed over the latest delivery
};
Deliveries deliveries;
char fill[8] = "No Link";

void send_read(uint32_t addr);

// Reads driven from the subscription's callback: each answer sends the next read, so the
// station, like the raw ping-pong, is one thread that sends and then waits for the answer.
struct CallbackChain {
  int remaining = 0;  // touched on the library's dispatch thread only while a chain runs
  Clock::time_point sent;
  std::vector<double> round_trips_us;
};
CallbackChain chain;

void on_update(long *, void *data, int *size) {
  auto now = Clock::now();
  if (chain.remaining > 0) {
    chain.round_trips_us.push_back(
        std::chrono::duration<double, std::micro>(now - chain.sent).count());
    if (--chain.remaining > 0) {
      chain.sent = Clock::now();
      send_read(kReg);
      // Only the chain's last answer wakes the main thread: a wake-up per read would put a
      // third busy thread on the machine and slow the very round trips measured.
      return;
    }
  }
  std::lock_guard<std::mutex> lock(deliveries.mutex);
  deliveries.last_time = now;
  deliveries.last_size = *size;
  if (*size >= 16) std::memcpy(&deliveries.last, data, 16);
  if (*size != 8 || std::memcmp(data, fill, 8) != 0) ++deliveries.count;
  deliveries.arrived.notify_all();
}

// Waits until more than `seen` deliveries have arrived; returns the new count.
uint64_t wait_past(uint64_t seen) {
  std::unique_lock<std::mutex> lock(deliveries.mutex);
  if (!deliveries.arrived.wait_for(lock, 10s, [&] { return deliveries.count > seen; })) {
    std::fprintf(stderr, "zol_bench: no update within 10 s\n");
    std::quick_exit(1);  // runs the clean-up registered in main
  }
  return deliveries.count;
}

void send_read(uint32_t addr) {
  WriteRecord w{1, addr, 0, 0xFFFFFFFF, 0};
  dic_cmnd_service_(kCmd, &w, sizeof w);
}

// The processes behind the figures: a name server, the register server and its board.
struct Setup {
  std::string board = "zolbench_" + std::to_string(getpid());
  std::unique_ptr<zoltest::NameServerProcess> dns;
  std::unique_ptr<Process> server;

  zoltest::Env env(int port) const {
    return {
        {"LB_SIM", board}, {"DIM_DNS_NODE", "127.0.0.1"}, {"DIM_DNS_PORT", std::to_string(port)}};
  }
  void boardsim(std::vector<std::string> args) {
    args.insert(args.begin(), zoltest::bin("boardsim"));
    zoltest::run(args, {{"LB_SIM", board}});
  }

  void start() {
    boardsim({"reset"});
    boardsim({"poke", "0x38", "0x12345678"});
    boardsim({"poke", "0x3C0", "0xBEEF"});
    dns = std::make_unique<zoltest::NameServerProcess>();
    if (dns->port() == 0) {
      std::fprintf(stderr, "zol_bench: name server did not start\n");
      std::quick_exit(1);  // runs the clean-up registered in main
    }
    const int port = dns->port();
    server =
        std::make_unique<Process>(std::vector<std::string>{zoltest::bin("ZOL_server")}, env(port));
    setenv("DIM_DNS_NODE", "127.0.0.1", 1);
    setenv("DIM_DNS_PORT", std::to_string(port).c_str(), 1);

    // Ready once the subscription delivers real contents instead of the fill.
    dic_info_service_(kSvc, MONITORED, 0, nullptr, 0, on_update, 0, fill, sizeof fill);
    wait_past(0);
  }
  void stop() {
    if (server) server->stop();
    if (dns) dns->child().stop();
    boardsim({"remove"});
  }
};
Setup setup;

// ---- raw TCP ping-pong between two processes, the same sizes as a register read ----

class RawPeer {
 public:
  RawPeer() {
    int listener = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(listener, reinterpret_cast<sockaddr *>(&addr), sizeof addr);
    listen(listener, 1);
    socklen_t len = sizeof addr;
    getsockname(listener, reinterpret_cast<sockaddr *>(&addr), &len);
    child_ = fork();
    if (child_ == 0) serve(listener);
    close(listener);
    fd_ = socket(AF_INET, SOCK_STREAM, 0);
    connect(fd_, reinterpret_cast<sockaddr *>(&addr), sizeof addr);
    int one = 1;
    setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  }
  pid_t child() const { return child_; }
  ~RawPeer() {
    close(fd_);
    kill(child_, SIGKILL);
    waitpid(child_, nullptr, 0);
  }
  // One request of a command's size, one answer of an update's size.
  void ping() {
    char request[kRequest] = {};
    char answer[kAnswer];
    full_write(fd_, request, sizeof request);
    full_read(fd_, answer, sizeof answer);
  }

  // The frames of a register read: the command frame carries the command name and one
  // 20-byte record; the data frame a subscription id and one 16-byte record.
  static constexpr size_t kRequest = 4 + 1 + 2 + 37 + 20;
  static constexpr size_t kAnswer = 4 + 1 + 4 + 16;

 private:
  [[noreturn]] static void serve(int listener) {
    int fd = accept(listener, nullptr, nullptr);
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    char request[kRequest];
    char answer[kAnswer] = {};
    for (;;) {
      if (!full_read(fd, request, sizeof request)) _exit(0);
      full_write(fd, answer, sizeof answer);
    }
  }
  static bool full_read(int fd, char *p, size_t n) {
    while (n > 0) {
      ssize_t r = read(fd, p, n);
      if (r <= 0) return false;
      p += r;
      n -= static_cast<size_t>(r);
    }
    return true;
  }
  static void full_write(int fd, const char *p, size_t n) {
    while (n > 0) {
      ssize_t r = write(fd, p, n);
      if (r <= 0) return;
      p += r;
      n -= static_cast<size_t>(r);
    }
  }
  pid_t child_ = -1;
  int fd_ = -1;
};

double micros(Clock::duration d) { return std::chrono::duration<double, std::micro>(d).count(); }

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0.0 : v[v.size() / 2];
}

// Wake-ups, context switches and CPU time per round trip on the station's side and on the
// answering side.
struct SideCosts {
  pid_t station, answerer;
  long station_count = 0, answerer_count = 0, switches = 0, trips = 0;
  long long station_ns = 0, answerer_ns = 0;
  long s0 = 0, a0 = 0, w0 = 0;
  long long sc0 = 0, ac0 = 0;
  long both_switches() const {
    return zoltest::thread_switches(station) + zoltest::thread_switches(answerer);
  }
  void begin() {
    s0 = zoltest::thread_sleeps(station);
    a0 = zoltest::thread_sleeps(answerer);
    w0 = both_switches();
    sc0 = zoltest::thread_cpu_ns(station);
    ac0 = zoltest::thread_cpu_ns(answerer);
  }
  void end(long n) {
    station_ns += zoltest::thread_cpu_ns(station) - sc0;
    answerer_ns += zoltest::thread_cpu_ns(answerer) - ac0;
    station_count += zoltest::thread_sleeps(station) - s0;
    answerer_count += zoltest::thread_sleeps(answerer) - a0;
    switches += both_switches() - w0;
    trips += n;
  }
  double per_trip(double total) const { return trips ? total / double(trips) : 0; }
  double station_per_trip() const { return per_trip(double(station_count)); }
  double answerer_per_trip() const { return per_trip(double(answerer_count)); }
  double switches_per_trip() const { return per_trip(double(switches)); }
  double station_cpu_us() const { return per_trip(double(station_ns) / 1000); }
  double answerer_cpu_us() const { return per_trip(double(answerer_ns) / 1000); }
};

// Prints the library's figure next to the raw one of the same run, with the limit it is held
// to and the wake-ups per round trip on each side. Beside them, what an event loop cannot go
// below here: each side waits for its arrival in one more system call (epoll_wait) than a
// blocking read does, so the floor is the raw figure plus two system calls of this machine.
void report(benchmark::State &state, const std::vector<double> &zol, const std::vector<double> &tcp,
            double limit, const SideCosts &zol_costs, const SideCosts &raw_costs) {
  double zol_us = median(zol), tcp_us = median(tcp);
  const double call_us = zoltest::syscall_us();
  state.counters["syscall_us"] = call_us;
  state.counters["loop_floor"] = tcp_us > 0 ? (tcp_us + 2 * call_us) / tcp_us : 0;
  state.counters["zol_us"] = zol_us;
  state.counters["raw_tcp_us"] = tcp_us;
  state.counters["ratio"] = tcp_us > 0 ? zol_us / tcp_us : 0;
  state.counters["ratio_limit"] = limit;
  state.counters["wakeups_station"] = zol_costs.station_per_trip();
  state.counters["wakeups_server"] = zol_costs.answerer_per_trip();
  state.counters["raw_wakeups_station"] = raw_costs.station_per_trip();
  state.counters["raw_wakeups_server"] = raw_costs.answerer_per_trip();
  state.counters["switches"] = zol_costs.switches_per_trip();
  state.counters["raw_switches"] = raw_costs.switches_per_trip();
  state.counters["cpu_us_station"] = zol_costs.station_cpu_us();
  state.counters["cpu_us_server"] = zol_costs.answerer_cpu_us();
  state.counters["raw_cpu_us_station"] = raw_costs.station_cpu_us();
  state.counters["raw_cpu_us_server"] = raw_costs.answerer_cpu_us();
  state.SetLabel(tcp_us > 0 && zol_us <= limit * tcp_us ? "met" : "OVER LIMIT");
}

constexpr int kBatch = 50;

// Batches of register reads, each sent from the callback that received the previous answer,
// alternating with batches of raw ping-pongs; medians are compared.
void BM_RegisterReadRoundTrip(benchmark::State &state, const zoltest::Placement &where) {
  RawPeer raw;
  zoltest::Placed placed(where, {setup.server->pid(), raw.child()});
  for (int i = 0; i < 100; ++i) raw.ping();
  std::vector<double> zol, tcp;
  SideCosts zol_costs{getpid(), setup.server->pid()}, raw_costs{getpid(), raw.child()};
  uint64_t seen = deliveries.count;
  for (auto _ : state) {
    chain.round_trips_us.clear();
    chain.remaining = kBatch;
    zol_costs.begin();
    chain.sent = Clock::now();
    send_read(kReg);
    seen = wait_past(seen);  // the chain's last answer
    zol_costs.end(kBatch);
    zol.insert(zol.end(), chain.round_trips_us.begin(), chain.round_trips_us.end());
    raw_costs.begin();
    for (int i = 0; i < kBatch; ++i) {
      auto t1 = Clock::now();
      raw.ping();
      tcp.push_back(micros(Clock::now() - t1));
    }
    raw_costs.end(kBatch);
  }
  report(state, zol, tcp, 1.2, zol_costs, raw_costs);
}

// The same with each read sent from the main thread, which then waits for the answer in the
// library (as rwreg and scripts do): the time until the main thread holds the answer.
void BM_RegisterReadRoundTripFromMainThread(benchmark::State &state,
                                            const zoltest::Placement &where) {
  RawPeer raw;
  zoltest::Placed placed(where, {setup.server->pid(), raw.child()});
  for (int i = 0; i < 100; ++i) raw.ping();  // warm both paths
  std::vector<double> zol, tcp;
  SideCosts zol_costs{getpid(), setup.server->pid()}, raw_costs{getpid(), raw.child()};
  auto delivered = [] {
    std::lock_guard<std::mutex> lock(deliveries.mutex);
    return deliveries.count;
  };
  for (auto _ : state) {
    zol_costs.begin();
    for (int i = 0; i < kBatch; ++i) {
      const uint64_t seen = delivered();
      auto t0 = Clock::now();
      send_read(kReg);
      if (!dim::wait_until([&] { return delivered() > seen; }, 10000)) {
        std::fprintf(stderr, "zol_bench: no update within 10 s\n");
        std::quick_exit(1);  // runs the clean-up registered in main
      }
      zol.push_back(micros(Clock::now() - t0));
    }
    zol_costs.end(kBatch);
    raw_costs.begin();
    for (int i = 0; i < kBatch; ++i) {
      auto t1 = Clock::now();
      raw.ping();
      tcp.push_back(micros(Clock::now() - t1));
    }
    raw_costs.end(kBatch);
  }
  report(state, zol, tcp, 1.3, zol_costs, raw_costs);
}

// A burst of commands sent back to back; the last one reads a marker register, and the
// burst is done when its answer arrives.
void BM_RegisterCommandsPerSecond(benchmark::State &state) {
  const int burst = static_cast<int>(state.range(0));
  double rate = 0;
  for (auto _ : state) {
    uint64_t seen = deliveries.count;
    auto t0 = Clock::now();
    for (int i = 0; i < burst - 1; ++i) send_read(kReg);
    send_read(kMarkerReg);
    for (;;) {
      seen = wait_past(seen);
      std::lock_guard<std::mutex> lock(deliveries.mutex);
      if (deliveries.last_size == 16 && deliveries.last.addr == kMarkerReg) break;
    }
    double elapsed = std::chrono::duration<double>(Clock::now() - t0).count();
    rate = std::max(rate, burst / elapsed);
  }
  state.counters["commands_per_s"] = rate;
  state.counters["limit_per_s"] = 20000;
  state.SetLabel(rate >= 20000 ? "within limit" : "UNDER LIMIT");
}

// 100 subscribers of the register service; one command, and the time until the last of
// them has the update.
struct FanOut {
  std::atomic<uint64_t> arrivals{0};
  std::mutex mutex;
  std::condition_variable all_in;
  Clock::time_point last_arrival;
};
FanOut fan;

void on_fanout(long *, void *data, int *size) {
  if (*size == 8 && std::memcmp(data, fill, 8) == 0) return;
  std::lock_guard<std::mutex> lock(fan.mutex);
  fan.last_arrival = Clock::now();
  fan.arrivals.fetch_add(1);
  fan.all_in.notify_all();
}

bool wait_arrivals(uint64_t target) {
  std::unique_lock<std::mutex> lock(fan.mutex);
  return fan.all_in.wait_for(lock, 10s, [&] { return fan.arrivals.load() >= target; });
}

void BM_UpdateToHundredSubscribers(benchmark::State &state) {
  constexpr int kSubscribers = 100;
  std::vector<unsigned> ids;
  for (int i = 0; i < kSubscribers; ++i)
    ids.push_back(
        dic_info_service_(kSvc, MONITORED, 0, nullptr, 0, on_fanout, i, fill, sizeof fill));
  // Every update of the service goes to them while they stay: gone when this ends.
  struct Release {
    std::vector<unsigned> &ids;
    ~Release() {
      for (unsigned id : ids) dim::release_service(id);
    }
  } release{ids};
  if (!wait_arrivals(kSubscribers)) {
    state.SkipWithError("subscribers did not get the current contents");
    return;
  }
  std::vector<double> spans;
  uint64_t target = fan.arrivals.load();
  for (auto _ : state) {
    target += kSubscribers;
    auto t0 = Clock::now();
    send_read(kReg);
    if (!wait_arrivals(target)) {
      state.SkipWithError("an update did not reach every subscriber");
      return;
    }
    std::lock_guard<std::mutex> lock(fan.mutex);
    spans.push_back(std::chrono::duration<double, std::milli>(fan.last_arrival - t0).count());
  }
  std::sort(spans.begin(), spans.end());
  double worst = spans.empty() ? 0 : spans.back();
  double p99 = spans.empty() ? 0 : spans[spans.size() * 99 / 100];
  state.counters["median_ms"] = spans.empty() ? 0 : spans[spans.size() / 2];
  state.counters["p99_ms"] = p99;
  state.counters["worst_ms"] = worst;
  state.counters["limit_ms"] = 2.0;
  state.SetLabel(p99 <= 2.0 ? "within limit" : "OVER LIMIT");
}

// The round trips first, with each side on a core of its own and then with both on one core;
// then the rate and the fan-out, whose 100 subscribers would otherwise be served on every read.
void register_benchmarks() {
  for (const zoltest::Placement &where : zoltest::placements()) {
    benchmark::RegisterBenchmark(("BM_RegisterReadRoundTrip/" + where.name).c_str(),
                                 BM_RegisterReadRoundTrip, where)
        ->UseRealTime()
        ->Iterations(40);
    benchmark::RegisterBenchmark(("BM_RegisterReadRoundTripFromMainThread/" + where.name).c_str(),
                                 BM_RegisterReadRoundTripFromMainThread, where)
        ->UseRealTime()
        ->Iterations(40);
  }
  benchmark::RegisterBenchmark("BM_RegisterCommandsPerSecond", BM_RegisterCommandsPerSecond)
      ->Arg(10000)
      ->UseRealTime()
      ->Iterations(5);
  benchmark::RegisterBenchmark("BM_UpdateToHundredSubscribers", BM_UpdateToHundredSubscribers)
      ->UseRealTime()
      ->Iterations(500);
}

}  // namespace

int main(int argc, char **argv) {
  setvbuf(stdout, nullptr, _IOLBF, 0);
  register_benchmarks();
  benchmark::Initialize(&argc, argv);
  // A figure that cannot be taken ends the run, and the board and processes go with it.
  std::at_quick_exit([] { setup.stop(); });
  // Killed halfway (Ctrl-C, or the timeout of `make bench`), the run still removes its board;
  // the name server and the register server end with this process.
  zoltest::clean_up_on_stop_signal("zol_bench", [] { setup.boardsim({"remove"}); });
  setup.start();
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  setup.stop();
  std::fflush(stdout);
  std::_Exit(0);
}
