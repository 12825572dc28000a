// An experiment's worth of servers on one name server, and a station that watches 200 boards.
// Every figure is printed next to its limit at the end:
//  - 1,000 servers register 6 names each, each over its own connection, through the library's
//    own registration code (many registrations in this process, one per simulated server):
//    the time until all are registered, and the name server's memory and processor time;
//  - 10,000 lookups from 10 clients while they are registered: p50 and p99;
//  - one station (a process of its own, the library's client) subscribed to the
//    UpdateSubscribedRegisters service of 200 of the boards, each publishing once a second:
//    every update arrives, and the station's processor time;
//  - the name server killed and started again on its port with its usual grace period
//    (returning servers are let in during it, so it delays none of them): the time until
//    all 1,000 are registered again and a lookup succeeds.
// Everything runs on 127.0.0.1 on ports chosen at run time. All 1,000 servers and the clients
// come from one address, which the name server's per-address limit of 1,024 connections
// allows. Run with "station SECONDS" it is the station.
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <asio.hpp>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/dim/connection.h"
#include "platform/dim/dim.h"
#include "platform/dim/name_server_list.h"
#include "platform/dim/registration.h"
#include "platform/dim/wire.h"
#include "testing/name_server.h"
#include "testing/proc_figures.h"
#include "testing/process.h"

namespace {

using zoltest::cpu_seconds;

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;
namespace wire = dim::wire;

constexpr int kServers = 1000;
constexpr int kNamesPerServer = 6;
constexpr int kWatched = 200;  // boards the station subscribes to
constexpr int kClients = 10;
constexpr int kLookupsPerClient = 1000;
constexpr int kStationSeconds = 10;  // updates counted over this long
constexpr auto kSetupLimit = 60s;    // any one phase that takes longer has failed

constexpr double kLookupP99LimitUs = 1000;
constexpr double kRssLimitMiB = 64;
constexpr double kReturnLimitS = 5;
constexpr double kStationCpuLimit = 0.10;  // of one core

const char *verdict(bool ok) { return ok ? "met" : "OVER LIMIT"; }

std::string board(int i) {
  char b[32];
  std::snprintf(b, sizeof b, "/SCALE/B%04d", i);
  return b;
}
std::string watched_service(int i) { return board(i) + "/SVC/UpdateSubscribedRegisters"; }

// ---- /proc figures of a process ----

double percentile(std::vector<double> v, double p) {
  if (v.empty()) return -1;
  std::sort(v.begin(), v.end());
  return v[std::min(v.size() - 1, static_cast<std::size_t>(p * static_cast<double>(v.size())))];
}

// Quiets stderr while many simulated servers report the same loss and return.
class QuietStderr {
 public:
  QuietStderr() : saved_(dup(2)) {
    std::fflush(stderr);
    const int null = ::open("/dev/null", O_WRONLY);
    dup2(null, 2);
    close(null);
  }
  ~QuietStderr() {
    std::fflush(stderr);
    dup2(saved_, 2);
    close(saved_);
  }

 private:
  int saved_;
};

// ---- the simulated servers: their registrations, and 200 boards that publish ----

class SimServer : public dim::RegistrationOwner {
 public:
  SimServer(asio::io_context &io, int index, uint16_t port, const dim::NameServerAddress &where,
            std::atomic<int> &registered)
      : name_(board(index) + "/SERVER"),
        port_(port),
        registered_count_(registered),
        registration_(io, *this, where, false) {
    const char *suffixes[kNamesPerServer] = {
        "/CMD/DownloadFPGA",    "/SVC/FPGALoadStatus",     "/CMD/ReadWriteRegisters",
        "/SVC/UpdateRegisters", "/CMD/SubscribeRegisters", "/SVC/UpdateSubscribedRegisters"};
    for (int k = 0; k < kNamesPerServer; ++k)
      entries_.push_back(
          wire::Entry{suffixes[k][1] == 'C' ? wire::EntryKind::kCommand : wire::EntryKind::kService,
                      board(index) + suffixes[k]});
  }
  void start() { registration_.start(); }
  void stop() { registration_.stop(); }
  // Registered now; cleared by the bench before a restart.
  std::atomic<bool> in{false};

  std::string server_name() const override { return name_; }
  uint16_t server_port() const override { return port_; }
  std::vector<wire::Entry> entries() const override { return entries_; }
  std::optional<wire::EntryKind> kind_of(const std::string &name) const override {
    for (const auto &e : entries_)
      if (e.name == name) return e.kind;
    return std::nullopt;
  }
  bool was_registered() const override { return was_registered_; }
  bool newcomer() const override { return !was_registered_; }
  bool ended() const override { return false; }
  void registered(dim::Registration &) override {
    was_registered_ = true;
    if (!in.exchange(true)) ++registered_count_;
  }
  bool unreachable(dim::Registration &, const std::string &) override {
    if (in.exchange(false)) --registered_count_;
    return true;  // counted here, not printed a thousand times
  }
  void refused(dim::Registration &, const std::string &why) override {
    std::fprintf(stderr, "bench: %s refused: %s\n", name_.c_str(), why.c_str());
  }

 private:
  std::string name_;
  uint16_t port_;
  std::atomic<int> &registered_count_;
  std::vector<wire::Entry> entries_;
  bool was_registered_ = false;
  dim::Registration registration_;
};

// A board's UpdateSubscribedRegisters: a 64-byte record whose first word counts the updates.
class Board {
 public:
  Board(asio::io_context &io, int index)
      : io_(io), acceptor_(io), service_(watched_service(index)) {
    acceptor_.open(asio::ip::tcp::v4());
    acceptor_.bind(asio::ip::tcp::endpoint(asio::ip::address_v4::loopback(), 0));
    acceptor_.listen();
    port_ = acceptor_.local_endpoint().port();
    accept_next();
  }
  uint16_t port() const { return port_; }

  void publish() {
    ++count_;
    auto data = contents();
    for (auto &[conn, sub] : subscribers_)
      if (conn->is_open()) conn->send_latest(sub, data);
  }

 private:
  wire::Payload contents() const {
    uint32_t record[16] = {count_};
    return wire::Payload::copy_of(record, sizeof record);
  }
  void accept_next() {
    acceptor_.async_accept([this](const asio::error_code &ec, asio::ip::tcp::socket s) {
      if (ec) return;
      auto conn =
          std::make_shared<dim::Connection>(std::move(s), "station", dim::Connection::Options{});
      dim::Connection *c = conn.get();
      conns_.push_back(conn);
      conn->start(
          [this, c](wire::Frame &&f) {
            if (f.kind() != wire::Kind::kSubscribe) return;
            auto m = wire::decode_subscribe(f);
            if (!m) return;
            if (m->name != service_) {
              c->send(wire::encode_no_service(m->sub));
              return;
            }
            subscribers_.emplace_back(c, m->sub);
            auto data = contents();
            c->send_latest(m->sub, data);
          },
          [](const std::string &) {});
      accept_next();
    });
  }

  asio::io_context &io_;
  asio::ip::tcp::acceptor acceptor_;
  std::string service_;
  uint16_t port_ = 0;
  uint32_t count_ = 0;
  std::vector<std::shared_ptr<dim::Connection>> conns_;
  std::vector<std::pair<dim::Connection *, uint32_t>> subscribers_;
};

// ---- a blocking lookup client ----

class LookupClient {
 public:
  explicit LookupClient(int port) {
    fd_ = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const int one = 1;
    setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    ok_ = connect(fd_, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0;
  }
  ~LookupClient() { close(fd_); }
  LookupClient(const LookupClient &) = delete;
  LookupClient &operator=(const LookupClient &) = delete;

  // The answer to one lookup; nothing when the name server is gone.
  std::optional<wire::LookupReplyMsg> lookup(const std::string &name) {
    if (!ok_) return std::nullopt;
    const auto frame = wire::encode(wire::LookupMsg{++request_, name});
    if (send(fd_, frame.data(), frame.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(frame.size()))
      return std::nullopt;
    while (frames_.empty()) {
      auto room = reader_.buffer();
      const ssize_t n = recv(fd_, room.data(), room.size(), 0);
      if (n <= 0 || reader_.commit(static_cast<std::size_t>(n), frames_)) {
        ok_ = false;
        return std::nullopt;
      }
    }
    wire::Frame f = std::move(frames_.front());
    frames_.erase(frames_.begin());
    return wire::decode_lookup_reply(f);
  }

 private:
  int fd_ = -1;
  bool ok_ = false;
  uint32_t request_ = 0;
  wire::FrameReader reader_;
  std::vector<wire::Frame> frames_;
};

bool found(int port, const std::string &name) {
  LookupClient c(port);
  auto r = c.lookup(name);
  return r && r->found;
}

// ---- the station ----

struct Watch {
  uint32_t last = 0;
  uint64_t updates = 0;
  uint64_t lost = 0;
};
std::mutex g_watch_mutex;
std::vector<Watch> g_watch(kWatched);

void on_update(long *tag, void *data, int *size) {
  if (*size < 4) return;  // the fill: no contents (yet)
  uint32_t count = 0;
  std::memcpy(&count, data, 4);
  std::lock_guard lock(g_watch_mutex);
  Watch &w = g_watch[static_cast<std::size_t>(*tag)];
  if (w.updates > 0 && count > w.last + 1) w.lost += count - w.last - 1;
  w.last = count;
  ++w.updates;
}

// Subscribes, prints "watching" once every board has delivered, then after `seconds` one line:
// "updates U lost L boards B".
int station_main(int seconds) {
  setvbuf(stdout, nullptr, _IOLBF, 0);
  for (int i = 0; i < kWatched; ++i)
    dic_info_service_(watched_service(i).c_str(), MONITORED, 0, nullptr, 0, on_update, i, nullptr,
                      0);
  const auto deadline = Clock::now() + kSetupLimit;
  for (;;) {
    int seen = 0;
    {
      std::lock_guard lock(g_watch_mutex);
      for (const auto &w : g_watch) seen += w.updates > 0;
    }
    if (seen == kWatched) break;
    if (Clock::now() > deadline) {
      std::printf("only %d boards delivered\n", seen);
      return 1;
    }
    std::this_thread::sleep_for(20ms);
  }
  std::printf("watching\n");
  std::this_thread::sleep_for(std::chrono::seconds(seconds));
  uint64_t updates = 0, lost = 0;
  int boards = 0;
  {
    std::lock_guard lock(g_watch_mutex);
    for (const auto &w : g_watch) {
      updates += w.updates;
      lost += w.lost;
      boards += w.updates > 0;
    }
  }
  std::printf("updates %llu lost %llu boards %d\n", static_cast<unsigned long long>(updates),
              static_cast<unsigned long long>(lost), boards);
  return 0;
}

// ---- the experiment ----

bool wait_until(const std::function<bool()> &done, std::chrono::milliseconds limit) {
  const auto end = Clock::now() + limit;
  while (!done()) {
    if (Clock::now() > end) return false;
    std::this_thread::sleep_for(2ms);
  }
  return true;
}

int run() {
  auto dns = std::make_unique<zoltest::NameServerProcess>();
  const int port = dns->port();
  if (port <= 0) {
    std::fprintf(stderr, "bench: dim_dns did not start\n");
    return 1;
  }
  const dim::NameServerAddress where{"127.0.0.1", std::to_string(port)};

  asio::io_context io(1);
  auto work = asio::make_work_guard(io);
  std::atomic<int> registered{0};
  std::vector<std::unique_ptr<Board>> boards;
  std::vector<std::unique_ptr<SimServer>> servers;
  for (int i = 0; i < kWatched; ++i) boards.push_back(std::make_unique<Board>(io, i));
  for (int i = 0; i < kServers; ++i)
    servers.push_back(std::make_unique<SimServer>(
        io, i, i < kWatched ? boards[static_cast<std::size_t>(i)]->port() : 9, where, registered));
  std::thread net([&] { io.run(); });
  // Each board publishes once a second, the boards spread over the second as real ones are.
  asio::steady_timer tick(io);
  int next_board = 0;
  tick.expires_at(Clock::now());
  std::function<void()> arm = [&] {
    // From the last expiry, not from now, so the rate holds however late a turn runs.
    tick.expires_at(tick.expiry() + std::chrono::microseconds(1000000 / kWatched));
    tick.async_wait([&](const asio::error_code &ec) {
      if (ec) return;
      boards[static_cast<std::size_t>(next_board)]->publish();
      next_board = (next_board + 1) % kWatched;
      arm();
    });
  };
  asio::post(io, arm);

  // 1. Registration.
  const double dns_cpu0 = cpu_seconds(dns->child().pid());
  const auto t0 = Clock::now();
  asio::post(io, [&] {
    for (auto &s : servers) s->start();
  });
  const bool all_in = wait_until([&] { return registered == kServers; }, kSetupLimit);
  const double register_s = std::chrono::duration<double>(Clock::now() - t0).count();
  const double register_cpu = cpu_seconds(dns->child().pid()) - dns_cpu0;

  // 2. Lookups from 10 clients at once.
  std::vector<std::vector<double>> per_client(kClients);
  std::atomic<int> failed_lookups{0};
  const double lookup_cpu0 = cpu_seconds(dns->child().pid());
  {
    std::vector<std::thread> clients;
    for (int c = 0; c < kClients; ++c)
      clients.emplace_back([&, c] {
        LookupClient client(port);
        auto &us = per_client[static_cast<std::size_t>(c)];
        us.reserve(kLookupsPerClient);
        for (int k = 0; k < kLookupsPerClient; ++k) {
          const std::string name =
              board((c * 7919 + k * 104729) % kServers) + "/SVC/UpdateRegisters";
          const auto s = Clock::now();
          auto r = client.lookup(name);
          us.push_back(std::chrono::duration<double, std::micro>(Clock::now() - s).count());
          if (!r || !r->found) ++failed_lookups;
        }
      });
    for (auto &t : clients) t.join();
  }
  const double lookup_cpu = cpu_seconds(dns->child().pid()) - lookup_cpu0;
  std::vector<double> lookup_us;
  for (auto &v : per_client) lookup_us.insert(lookup_us.end(), v.begin(), v.end());
  const double rss = zoltest::status_kib(dns->child().pid(), "VmRSS") / 1024.0;

  // 3. The station, over the restart below as well.
  char self[4096] = {};
  if (readlink("/proc/self/exe", self, sizeof self - 1) <= 0) return 1;
  std::optional<zoltest::Process> station;
  station.emplace(
      std::vector<std::string>{self, "station", std::to_string(kStationSeconds)},
      zoltest::Env{{"DIM_DNS_NODE", "127.0.0.1"}, {"DIM_DNS_PORT", std::to_string(port)}});
  const bool watching = station->line(kSetupLimit) == std::optional<std::string>("watching");
  const double station_cpu0 = cpu_seconds(station->pid());
  const auto station_t0 = Clock::now();

  // 4. The name server dies and comes back on its port, under the whole load.
  std::this_thread::sleep_for(2s);
  bool returned = false;
  double return_s = -1;
  {
    QuietStderr quiet;
    dns->child().kill_now();
    // Every server has seen it go before it comes back, so none is counted as never gone.
    wait_until([&] { return registered == 0; }, kSetupLimit);
    dns = std::make_unique<zoltest::NameServerProcess>(port, std::vector<std::string>{});
    const auto restarted = Clock::now();
    if (dns->port() == port) {
      returned =
          wait_until([&] { return registered == kServers; }, kSetupLimit) &&
          wait_until([&] { return found(port, board(kServers - 1) + "/SVC/UpdateRegisters"); },
                     kSetupLimit);
      return_s = std::chrono::duration<double>(Clock::now() - restarted).count();
    }
  }

  std::optional<std::string> counts;
  if (watching) counts = station->line(std::chrono::seconds(kStationSeconds) + kSetupLimit);
  const double station_s = std::chrono::duration<double>(Clock::now() - station_t0).count();
  const double station_cpu = (cpu_seconds(station->pid()) - station_cpu0) / station_s;
  station->wait_exit(5s);
  station.reset();

  asio::post(io, [&] {
    for (auto &s : servers) s->stop();
    tick.cancel();
  });
  work.reset();
  io.stop();
  net.join();
  dns.reset();

  std::printf("%d servers x %d names registered in %.2f s%s; name server CPU %.2f s for it\n",
              kServers, kNamesPerServer, register_s, all_in ? "" : " (NOT ALL)", register_cpu);
  std::printf("name server RSS with them registered: %.1f MiB (limit %.0f MiB) %s\n", rss,
              kRssLimitMiB, verdict(rss > 0 && rss <= kRssLimitMiB));
  const double p99 = percentile(lookup_us, 0.99);
  std::printf(
      "%d lookups from %d clients: p50 %.0f us, p99 %.0f us (limit %.0f us) %s; "
      "%d failed; name server CPU %.2f s\n",
      kClients * kLookupsPerClient, kClients, percentile(lookup_us, 0.5), p99, kLookupP99LimitUs,
      verdict(failed_lookups == 0 && p99 <= kLookupP99LimitUs), failed_lookups.load(), lookup_cpu);
  std::printf(
      "name server restarted: all %d registered again and a lookup answered after "
      "%.2f s (limit %.0f s) %s\n",
      kServers, return_s, kReturnLimitS, verdict(returned && return_s <= kReturnLimitS));
  unsigned long long updates = 0, lost = 0;
  int seen = 0;
  const bool parsed = counts && std::sscanf(counts->c_str(), "updates %llu lost %llu boards %d",
                                            &updates, &lost, &seen) == 3;
  std::printf(
      "station watching %d boards at 1 update/s each, over the restart: %llu updates, "
      "%llu lost (limit 0) %s\n",
      kWatched, updates, lost, verdict(parsed && lost == 0 && seen == kWatched));
  std::printf("station CPU: %.1f %% of one core (limit %.0f %%) %s\n", 100 * station_cpu,
              100 * kStationCpuLimit, verdict(parsed && station_cpu <= kStationCpuLimit));
  return all_in && watching && parsed ? 0 : 1;
}

}  // namespace

int main(int argc, char **argv) {
  if (argc >= 3 && std::strcmp(argv[1], "station") == 0) return station_main(std::atoi(argv[2]));
  // Options meant for Google Benchmark programs (make bench passes some) are ignored.
  return run();
}
