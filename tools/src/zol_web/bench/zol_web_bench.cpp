// zol_web holding many open pages: 20 event streams, each page watching the same 100
// registers of one board at a 1 s interval (the server's table holds 100). The figure is
// the gateway's CPU time over a measuring window, as a share of one core, printed next to
// its limit of 5 %. dim_dns, ZOL_server and zol_web run as child processes on 127.0.0.1 with
// a board of their own; the pages are streams read by threads of this process, which count
// the samples they receive so that a gateway that sends nothing cannot pass for a cheap one.
//
// Own main: takes --seconds=N (measuring window, default 20) and ignores the --benchmark_*
// flags that `make bench` passes to every benchmark program. Every wait has a time limit.
#include <httplib.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "testing/name_server.h"
#include "testing/proc_figures.h"
#include "testing/process.h"

namespace {

using namespace std::chrono_literals;
using zoltest::Process;

constexpr int kPages = 20;
constexpr int kRegisters = 100;
constexpr double kLimitPercent = 5.0;

struct Page {
  std::atomic<long> samples{0};
  std::atomic<bool> stop{false};
  std::thread reader;
};

// Samples in a chunk of the stream: each is "[addr,time,value]" inside a "samples" record.
long count_samples(const char *data, size_t n) {
  long count = 0;
  for (size_t i = 0; i + 1 < n; ++i)
    if (data[i] == '[' && data[i + 1] != '[') ++count;
  return count;
}

}  // namespace

int main(int argc, char **argv) {
  int seconds = 20;
  for (int i = 1; i < argc; ++i)
    if (std::strncmp(argv[i], "--seconds=", 10) == 0) seconds = std::atoi(argv[i] + 10);
  if (seconds < 3 || seconds > 600) seconds = 20;

  const std::string board_name = "zolweb_bench_" + std::to_string(getpid());
  zoltest::run({zoltest::bin("boardsim"), "reset"}, {{"LB_SIM", board_name}}, 10s);
  int status = 1;
  {
    zoltest::NameServerProcess dns;
    const zoltest::Env env = {{"LB_SIM", board_name},
                              {"DIM_DNS_NODE", "127.0.0.1"},
                              {"DIM_DNS_PORT", std::to_string(dns.port())}};
    Process server({zoltest::bin("ZOL_server")}, env);
    Process gateway({zoltest::bin("zol_web"), "-p", "0", "--max-streams", "64"}, env);
    int port = 0;
    if (auto line = gateway.line(10s)) {
      std::smatch m;
      if (std::regex_search(*line, m, std::regex(R"(127\.0\.0\.1:(\d+)/)"))) port = std::stoi(m[1]);
    }
    if (!server.wait_for("Starting up server", 10s) || port == 0) {
      std::fprintf(stderr, "zol_web_bench: start-up failed\n%s%s", server.out().c_str(),
                   gateway.err().c_str());
      return 1;
    }
    httplib::Client api("127.0.0.1", port);
    api.set_read_timeout(10, 0);
    const std::string board = "/ZOL/KeshV2_00";
    const bool listed = zoltest::wait_for(
        [&] {
          auto r = api.Get("/api/boards");
          return r && r->body.find("\"answers\":true") != std::string::npos;
        },
        15s);
    if (!listed) {
      std::fprintf(stderr, "zol_web_bench: the gateway never listed the board\n");
      return 1;
    }

    std::vector<std::unique_ptr<Page>> pages;
    for (int p = 0; p < kPages; ++p) {
      auto page = std::make_unique<Page>();
      Page *pg = page.get();
      pg->reader = std::thread([pg, port] {
        httplib::Client c("127.0.0.1", port);
        c.set_read_timeout(15, 0);
        c.Get("/api/events?board=%2FZOL%2FKeshV2_00", [pg](const char *data, size_t n) {
          pg->samples += count_samples(data, n);
          return !pg->stop.load();
        });
      });
      pages.push_back(std::move(page));
    }
    // Every page asks for every register, as 20 tabs would.
    int refused = 0;
    for (int p = 0; p < kPages; ++p)
      for (int r = 0; r < kRegisters; ++r) {
        const std::string body = "{\"board\":\"" + board +
                                 "\",\"addr\":" + std::to_string(0x100 + 4 * r) +
                                 ",\"interval\":1}";
        auto res = api.Post("/api/watch", body, "application/json");
        if (!res || res->status != 200) ++refused;
      }

    std::this_thread::sleep_for(3s);  // the first publications and the streams settle
    long before_samples = 0;
    for (auto &pg : pages) before_samples += pg->samples;
    const double cpu0 = zoltest::cpu_seconds(gateway.pid());
    const auto t0 = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    const double cpu1 = zoltest::cpu_seconds(gateway.pid());
    const double wall =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    long samples = -before_samples;
    long quietest = -1;
    for (auto &pg : pages) {
      samples += pg->samples;
      if (quietest < 0 || pg->samples < quietest) quietest = pg->samples;
    }
    const double percent = 100.0 * (cpu1 - cpu0) / wall;
    // Each page should see every register about once a second.
    const double expected = static_cast<double>(kPages) * kRegisters * wall;
    const bool delivered = samples >= 0.8 * expected && refused == 0;
    std::printf(
        "zol_web %d pages x %d registers at 1 s: CPU %.2f %% of one core (limit %.0f %%), "
        "%ld samples delivered in %.1f s (%.0f expected), RSS %ld KiB\n",
        kPages, kRegisters, percent, kLimitPercent, samples, wall, expected,
        zoltest::status_kib(gateway.pid(), "VmRSS"));
    if (!delivered)
      std::printf("zol_web_bench: the pages did not get their samples (refused watches: %d)\n",
                  refused);
    status = delivered && percent < kLimitPercent ? 0 : 1;

    for (auto &pg : pages) pg->stop = true;
    gateway.stop();  // ends the streams, so the readers return
    for (auto &pg : pages) pg->reader.join();
    server.stop();
  }
  zoltest::run({zoltest::bin("boardsim"), "remove"}, {{"LB_SIM", board_name}}, 10s);
  return status;
}
