// ZOL_server under 1,000 hostile connections, each figure printed next to its limit, both
// sides measured in the same run:
//   - a register read from a station, command sent to update received, as rwreg makes it,
//     against the same on the idle server (limit: at most twice the idle figure); a whole
//     `rwreg -R` run beside it, for information: its start-up dominates it, and that varies
//     with the load on the machine, which the attack adds to;
//   - the server's resident memory against its idle size (limit: at most 64 MiB more).
// The station (this process, the attacker's thread with it) and the server keep to cores of
// their own throughout, as on two machines: left free, the scheduler may put both on one core
// for the idle figure only, which halves it and fails the comparison for nothing.
// The hostile connections all come from 127.0.0.1, like the station: 700 never send anything,
// 300 send a frame header one byte a second and never finish it. A connection the server
// drops is opened again, each at most once a second, so the server keeps making room.
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <mutex>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/dim/dim.h"
#include "platform/dim/dim_extra.h"
#include "platform/dim/wire.h"
#include "testing/cpu_placement.h"
#include "testing/name_server.h"
#include "testing/proc_figures.h"
#include "testing/process.h"
#include "testing/stop_signals.h"

namespace {

using zoltest::cpu_seconds;
using zoltest::status_kib;

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;
using zoltest::Process;
namespace wire = dim::wire;

const std::string kBoard = "/ZOL/KeshV2_00";
const std::string kCmd = kBoard + "/CMD/ReadWriteRegisters";
const std::string kSvc = kBoard + "/SVC/UpdateRegisters";
constexpr int kHostile = 1000;
constexpr double kRoundTripFactor = 2.0;
constexpr long kRssLimitMiB = 64;

struct Deliveries {
  std::mutex mutex;
  std::condition_variable arrived;
  uint64_t count = 0;
} deliveries;
char fill[8] = "No Link";

void on_update(long *, void *data, int *size) {
  std::lock_guard lock(deliveries.mutex);
  if (*size != 8 || std::memcmp(data, fill, 8) != 0) ++deliveries.count;
  deliveries.arrived.notify_all();
}

bool wait_past(uint64_t seen) {
  std::unique_lock lock(deliveries.mutex);
  return deliveries.arrived.wait_for(lock, 10s, [&] { return deliveries.count > seen; });
}

uint64_t delivered() {
  std::lock_guard lock(deliveries.mutex);
  return deliveries.count;
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0.0 : v[v.size() / 2];
}

struct Setup {
  std::string board = "zolhostile_" + std::to_string(getpid());
  std::unique_ptr<zoltest::NameServerProcess> dns;
  std::unique_ptr<Process> server;
  int dns_port = 0;
  int server_port = 0;

  zoltest::Env env() const {
    return {{"LB_SIM", board},
            {"DIM_DNS_NODE", "127.0.0.1"},
            {"DIM_DNS_PORT", std::to_string(dns_port)}};
  }
  void boardsim(std::vector<std::string> args) {
    args.insert(args.begin(), zoltest::bin("boardsim"));
    zoltest::run(args, {{"LB_SIM", board}});
  }
  bool start() {
    boardsim({"reset"});
    boardsim({"poke", "0x38", "0x12345678"});
    dns = std::make_unique<zoltest::NameServerProcess>();
    if (dns->port() == 0) return false;
    dns_port = dns->port();
    server = std::make_unique<Process>(std::vector<std::string>{zoltest::bin("ZOL_server")}, env());
    setenv("DIM_DNS_NODE", "127.0.0.1", 1);
    setenv("DIM_DNS_PORT", std::to_string(dns_port).c_str(), 1);
    dic_info_service_(kSvc.c_str(), MONITORED, 0, nullptr, 0, on_update, 0, fill, sizeof fill);
    if (!wait_past(0)) return false;
    zoltest::RunResult list = zoltest::run({zoltest::bin("dimctl"), "list"}, env());
    std::smatch p;
    if (!std::regex_search(list.out, p, std::regex(kBoard + "/SERVER  [^ ]+:([0-9]+)")))
      return false;
    server_port = std::stoi(p[1].str());
    return true;
  }
  void stop() {
    if (server) server->stop();
    if (dns) dns->child().stop();
    boardsim({"remove"});
  }
} setup;

// Register reads from this station, one at a time; median round trip in microseconds.
double station_round_trip_us(int reads) {
  struct {
    int32_t method = 1;
    uint32_t addr = 0x38, val = 0, mask = 0xFFFFFFFF;
    int32_t write = 0;
  } w;
  std::vector<double> us;
  uint64_t seen = delivered();
  for (int i = 0; i < reads; ++i) {
    const auto t0 = Clock::now();
    dic_cmnd_service_(kCmd.c_str(), &w, sizeof w);
    if (!wait_past(seen)) return -1;
    us.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
    seen = delivered();
  }
  return median(us);
}

// A whole `rwreg -R 38` to this board; median wall time in milliseconds, -1 when one failed.
double rwreg_ms(int runs) {
  std::vector<double> ms;
  for (int i = 0; i < runs; ++i) {
    const auto t0 = Clock::now();
    auto r = zoltest::run({zoltest::bin("rwreg"), "-R", "38", "-TKeshV2_00"}, setup.env(), 20s);
    if (r.status != 0 || r.out.find("Value 0x12345678") == std::string::npos) return -1;
    ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
  }
  if (std::getenv("ZOL_BENCH_VERBOSE"))
    for (double m : ms) std::fprintf(stderr, "rwreg %.1f ms\n", m);
  return median(ms);
}

// The hostile connections, kept up by one thread until stopped.
class Hostile {
 public:
  explicit Hostile(int port) : port_(port), slots_(kHostile) {
    thread_ = std::thread([this] { run(); });
  }
  ~Hostile() {
    stop_ = true;
    thread_.join();
    for (auto &s : slots_)
      if (s.fd >= 0) close(s.fd);
  }
  uint64_t reconnects() const { return reconnects_.load(); }

 private:
  struct Slot {
    int fd = -1;
    Clock::time_point opened{};
    std::size_t dribbled = 0;
  };

  static bool dribbles(std::size_t i) { return i >= 700; }

  void open(Slot &s) {
    s.fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port_));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    connect(s.fd, reinterpret_cast<sockaddr *>(&a), sizeof a);
    s.opened = Clock::now();
    s.dribbled = 0;
    ++reconnects_;
  }

  void run() {
    // A command frame announced at 1 MiB, sent a byte at a time.
    wire::Bytes head(4);
    const uint32_t len = 1u << 20;
    std::memcpy(head.data(), &len, 4);
    head.push_back(static_cast<uint8_t>(wire::Kind::kCommand));
    std::vector<pollfd> polls(slots_.size());
    while (!stop_) {
      const auto now = Clock::now();
      for (std::size_t i = 0; i < slots_.size(); ++i) {
        Slot &s = slots_[i];
        if (s.fd < 0 && now - s.opened >= 1s) open(s);
        if (s.fd >= 0 && dribbles(i) &&
            now - s.opened >= std::chrono::seconds(static_cast<long>(s.dribbled) + 1)) {
          const uint8_t byte = s.dribbled < head.size() ? head[s.dribbled] : 0;
          send(s.fd, &byte, 1, MSG_NOSIGNAL);
          ++s.dribbled;
        }
        polls[i] = pollfd{s.fd, POLLIN, 0};
      }
      // One look at all of them: the server's closes show up as readable ends.
      poll(polls.data(), polls.size(), 100);
      for (std::size_t i = 0; i < slots_.size(); ++i) {
        Slot &s = slots_[i];
        if (s.fd < 0 || polls[i].revents == 0) continue;
        char buf[64];
        if (recv(s.fd, buf, sizeof buf, MSG_DONTWAIT) <= 0) {
          close(s.fd);
          s.fd = -1;
        }
      }
      // The attacker shares the machine with the server and the station: it stays cheap.
      std::this_thread::sleep_for(10ms);
    }
  }

  int port_;
  std::vector<Slot> slots_;
  std::atomic<bool> stop_{false};
  std::atomic<uint64_t> reconnects_{0};
  std::thread thread_;
};

}  // namespace

int main() {
  setvbuf(stdout, nullptr, _IOLBF, 0);
  rlimit r{};
  getrlimit(RLIMIT_NOFILE, &r);
  r.rlim_cur = r.rlim_max;
  setrlimit(RLIMIT_NOFILE, &r);
  std::at_quick_exit([] { setup.stop(); });
  // Killed halfway (Ctrl-C, or the timeout of `make bench`), the run still removes its board;
  // the name server and the register server end with this process.
  zoltest::clean_up_on_stop_signal("zol_hostile_bench", [] { setup.boardsim({"remove"}); });
  if (!setup.start()) {
    std::fprintf(stderr, "zol_hostile_bench: the server did not start\n");
    std::quick_exit(1);
  }
  const pid_t pid = setup.server->pid();
  const zoltest::Placed placed(zoltest::placements().front(), {pid});

  station_round_trip_us(200);  // warm up
  const double idle_us = station_round_trip_us(2000);
  const double idle_rwreg = rwreg_ms(5);
  const long idle_kib = status_kib(pid, "VmRSS");

  double busy_us, busy_rwreg, cpu_share;
  long busy_kib, peak_kib;
  uint64_t opened;
  {
    Hostile hostile(setup.server_port);
    std::this_thread::sleep_for(3s);  // every hostile connection has been opened at least once
    const double cpu0 = cpu_seconds(pid);
    const auto t0 = Clock::now();
    busy_us = station_round_trip_us(2000);
    busy_rwreg = rwreg_ms(5);
    cpu_share =
        (cpu_seconds(pid) - cpu0) / std::chrono::duration<double>(Clock::now() - t0).count();
    busy_kib = status_kib(pid, "VmRSS");
    peak_kib = status_kib(pid, "VmHWM");
    opened = hostile.reconnects();
  }
  if (idle_us < 0 || busy_us < 0 || idle_rwreg < 0 || busy_rwreg < 0) {
    std::fprintf(stderr, "zol_hostile_bench: a register read went unanswered\n");
    std::quick_exit(1);
  }

  const auto verdict = [](bool ok) { return ok ? "within limit" : "OVER LIMIT"; };
  std::printf(
      "hostile connections: %d kept open from 127.0.0.1, %llu opened in all; "
      "server CPU under attack %.0f%%\n",
      kHostile, static_cast<unsigned long long>(opened), 100 * cpu_share);
  std::printf("register read round trip: idle %.1f us, under attack %.1f us, limit %.1f us  %s\n",
              idle_us, busy_us, kRoundTripFactor * idle_us,
              verdict(busy_us <= kRoundTripFactor * idle_us));
  std::printf(
      "rwreg -R, whole run: idle %.1f ms, under attack %.1f ms (%.1f times)  for information\n",
      idle_rwreg, busy_rwreg, busy_rwreg / idle_rwreg);
  const long grown = (std::max(busy_kib, peak_kib) - idle_kib) / 1024;
  std::printf(
      "server memory: idle %ld MiB, under attack %ld MiB (peak %ld MiB), limit +%ld MiB  %s\n",
      idle_kib / 1024, busy_kib / 1024, peak_kib / 1024, kRssLimitMiB,
      verdict(grown <= kRssLimitMiB));
  dim::shutdown();
  setup.stop();
  std::fflush(stdout);
  std::_Exit(0);
}
