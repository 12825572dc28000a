// End-to-end time of an FPGA download of at least 8 Mbit (configure_8mbit.jbc), split into
// transfer, expansion and JTAG time, next to a raw TCP transfer of the same bytes and the
// same number of raw TCK cycles, all measured in the same run. Goals:
//   transfer  <= 2 x raw TCP
//   whole     <= 1.2 x (raw TCK + raw TCP)
//   followed  <= 1.02 x whole
//
// How the whole is split, and why each part is measured the way it is:
//   whole     A station (this process) sends the file to ZOL_server's DownloadFPGA and waits
//             for the next FPGALoadStatus update. dim_dns and ZOL_server run as child
//             processes on 127.0.0.1 with a board of their own, as on a real station/board
//             pair; the status must say "loaded" and the board's FPGA must hold the file's
//             bits and CRC, so a fast failure cannot pass for a fast download.
//   followed  The whole again while the station also follows FPGALoadProgress, so that the
//             server builds and sends a progress record every 250 ms of the download: what
//             the progress reports cost a download. The bits the player counts for them are
//             counted in both (and in every figure below).
//   transfer  The same bytes as one command to a server in another process whose handler
//             only publishes the received byte count, timed until that update arrives. It is
//             the messaging cost of the whole with no player run in it: command copy, frame
//             write, frame read, handler call, update back.
//   expansion jbi_uncompress of the file's compressed blocks into fresh storage, in this
//             process: exactly the work the player's start-up does before the first
//             instruction, and nothing else.
//   JTAG      FPGADownload of the file in this process on a second private board (the
//             server's own run, without the messaging around it), minus the expansion. It
//             holds the CRC check, the interpreter and every TCK cycle.
//   raw TCP   A blocking send of the same bytes on a loopback connection to a peer process
//             that reads them all and answers one byte.
//   raw TCK   The number of cycles the in-process run clocked (the simulated chain's cycle
//             counter before and after), clocked again with jbi_jtag_io while the FPGA takes
//             data bits, which is what nearly every cycle of the download does; so the raw
//             cycles cost the board the same as the download's and only the player's work
//             on top of them shows as overhead.
// The two sides of a goal are measured in the same rounds, one after the other, so both see
// the same machine load; each figure is the best of its round's repeats and of all rounds.
// Rounds are bounded in count and time; every wait has a time limit.
//
// The program has its own main: it takes --rounds=N and --file=PATH and ignores the
// --benchmark_* flags that `make bench` passes to every benchmark program.
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <limits>
#include <memory>
#include <optional>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "bench/player_parts.h"
#include "bench/raw_tcp.h"
#include "bench/sink_server.h"
#include "bench/station.h"
#include "platform/dim/dim_extra.h"
#include "testing/process.h"
#include "testing/stop_signals.h"

namespace {

using namespace std::chrono_literals;
using zolbench::Clock;
using zoltest::Process;

constexpr double kTransferLimit = 2.0;   // x raw TCP
constexpr double kWholeLimit = 1.2;      // x (raw TCK + raw TCP)
constexpr double kFollowedLimit = 1.02;  // x whole
constexpr int kDefaultRounds = 5;
constexpr int kMaxRounds = 50;
constexpr int kTransferRepeats = 20;  // per round: sub-millisecond figures are noisy
constexpr int kExpandRepeats = 3;
constexpr auto kRoundBudget = 120s;  // no new round starts after this
constexpr auto kDownloadTimeout = 120s;
constexpr auto kAnswerTimeout = 10s;

const char *const kBoardPrefix = "/ZOL/KeshV2_00";

double ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

struct Options {
  int rounds = kDefaultRounds;
  std::string file = FPGA_CONFIGURE_8MBIT_JBC;
};

std::optional<Options> parse_options(int argc, char **argv) {
  Options o;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a.rfind("--benchmark_", 0) == 0) continue;  // meant for Google Benchmark programs
    if (a.rfind("--rounds=", 0) == 0) {
      char *end = nullptr;
      const long n = std::strtol(a.c_str() + 9, &end, 10);
      if (*end != '\0' || n < 1 || n > kMaxRounds) return std::nullopt;
      o.rounds = static_cast<int>(n);
    } else if (a.rfind("--file=", 0) == 0 && a.size() > 7) {
      o.file = a.substr(7);
    } else {
      return std::nullopt;
    }
  }
  return o;
}

bool read_bytes(const std::string &path, std::vector<uint8_t> &out) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  out.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return !out.empty();
}

// The generator's sidecar next to the file: what the FPGA must hold after a good load.
struct Expected {
  uint32_t bits = 0;
  uint32_t crc = 0;
};

std::optional<Expected> read_sidecar(const std::string &jbc) {
  const std::string path = jbc.substr(0, jbc.rfind('.')) + ".txt";
  std::ifstream in(path);
  std::string key, value;
  Expected e;
  bool bits = false, crc = false;
  while (in >> key >> value) {
    char *end = nullptr;
    const unsigned long v = std::strtoul(value.c_str(), &end, 0);
    if (*end != '\0' || v > 0xFFFFFFFFul) continue;
    if (key == "bits") e.bits = static_cast<uint32_t>(v), bits = true;
    if (key == "crc") e.crc = static_cast<uint32_t>(v), crc = true;
  }
  if (!bits || !crc) return std::nullopt;
  return e;
}

bool holds(const lbsim::FpgaState &s, const Expected &e) {
  return s.configured && !s.busy && s.bits == e.bits && s.crc == e.crc;
}

bool any_configured(lbsim::BoardControl &board) {
  for (const auto &f : board.fpgas())
    if (f.state.configured || f.state.bits != 0) return true;
  return false;
}

std::string self_path() {
  char buf[4096];
  const ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
  return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
}

// Board names, kept where the stop-signal thread can reach them.
std::string server_board;
std::string player_board;

// The best (smallest) of a series; +inf while empty.
struct Best {
  double value = std::numeric_limits<double>::infinity();
  void add(double v) { value = std::min(value, v); }
  bool any() const { return value != std::numeric_limits<double>::infinity(); }
};

struct Figures {
  Best whole, followed, transfer, expansion, download, raw_tcp, raw_tck;
  uint64_t cycles = 0;
  int rounds = 0;
};

[[noreturn]] void fail(const std::string &why) {
  std::fprintf(stderr, "fpga_download_bench: %s\n", why.c_str());
  lbsim::BoardControl::remove(server_board);
  lbsim::BoardControl::remove(player_board);
  std::fflush(stdout);
  std::_Exit(1);  // child processes are killed with us
}

std::string verdict(bool met) { return met ? "met" : "OVER LIMIT"; }

void print_summary(const Options &o, size_t bytes, const Expected &e, const Figures &f) {
  const double whole_limit = kWholeLimit * (f.raw_tck.value + f.raw_tcp.value);
  const double transfer_limit = kTransferLimit * f.raw_tcp.value;
  const double jtag = f.download.value - f.expansion.value;
  const std::string name = o.file.substr(o.file.rfind('/') + 1);
  std::printf(
      "\nFPGA download of %s: %zu bytes, %u data bits, %llu TCK cycles; best of %d round%s\n",
      name.c_str(), bytes, e.bits, static_cast<unsigned long long>(f.cycles), f.rounds,
      f.rounds == 1 ? "" : "s");
  std::printf("%-50s %10s   %-40s %s\n", "figure", "best ms", "limit (same run)", "verdict");
  char limit[96];
  std::snprintf(limit, sizeof limit, "%.1f x (raw TCK + raw TCP) = %.2f ms", kWholeLimit,
                whole_limit);
  std::printf("%-50s %10.2f   %-40s %s (%.2f x the reference)\n",
              "whole: station -> DownloadFPGA -> FPGALoadStatus", f.whole.value, limit,
              verdict(f.whole.value <= whole_limit).c_str(),
              f.whole.value / (f.raw_tck.value + f.raw_tcp.value));
  std::snprintf(limit, sizeof limit, "%.1f x raw TCP = %.2f ms", kTransferLimit, transfer_limit);
  std::printf("%-50s %10.2f   %-40s %s (%.2f x raw TCP)\n",
              "  transfer: same bytes to a publish-only server", f.transfer.value, limit,
              verdict(f.transfer.value <= transfer_limit).c_str(),
              f.transfer.value / f.raw_tcp.value);
  std::snprintf(limit, sizeof limit, "%.2f x whole = %.2f ms", kFollowedLimit,
                kFollowedLimit * f.whole.value);
  std::printf("%-50s %10.2f   %-40s %s (%+.2f %% of the whole)\n",
              "followed: the whole with FPGALoadProgress watched", f.followed.value, limit,
              verdict(f.followed.value <= kFollowedLimit * f.whole.value).c_str(),
              100.0 * (f.followed.value / f.whole.value - 1.0));
  std::printf("%-50s %10.2f\n", "  expansion: jbi_uncompress of the data blocks",
              f.expansion.value);
  std::printf("%-50s %10.2f\n", "  JTAG: in-process FPGADownload - expansion", jtag);
  std::printf("%-50s %10.2f\n", "  rest: whole - transfer - FPGADownload (+- noise)",
              f.whole.value - f.transfer.value - f.download.value);
  std::printf("%-50s %10.2f\n", "raw TCP: blocking send, one-byte answer", f.raw_tcp.value);
  std::printf("%-50s %10.2f\n", "raw TCK: same cycle count through jbi_jtag_io", f.raw_tck.value);
  std::printf("(in-process FPGADownload: %.2f ms; JTAG is %.2f x raw TCK)\n", f.download.value,
              jtag / f.raw_tck.value);
}

// The file under test, checked and taken apart once before any round.
struct Subject {
  std::vector<uint8_t> image;
  Expected expected;
  int version = 0;
  std::vector<zolbench::CompressedBlock> blocks;
  std::vector<uint8_t> data_bits;  // TDI of the raw cycles: the configuration itself
};

Subject load_subject(const std::string &file) {
  Subject s;
  if (!read_bytes(file, s.image)) fail("cannot read " + file);
  if (s.image.size() > dim::wire::kMaxPayload) fail(file + " is too large for one command");
  const auto expected = read_sidecar(file);
  if (!expected) fail("no bits/crc sidecar next to " + file);
  s.expected = *expected;
  s.blocks = zolbench::compressed_blocks(s.image, &s.version);
  if (s.blocks.empty() || !zolbench::expand_blocks(s.blocks, s.version, &s.data_bits))
    fail(file + " has no compressed data that expands");
  return s;
}

// A stop signal removes the private boards and ends the process; the children end with it.
// Called before any thread starts, so that every thread leaves the signals to the watcher.
void take_stop_signals() {
  server_board = "bench-dl-server-" + std::to_string(getpid());
  player_board = "bench-dl-player-" + std::to_string(getpid());
  zoltest::clean_up_on_stop_signal("fpga_download_bench", [] {
    lbsim::BoardControl::remove(server_board);
    lbsim::BoardControl::remove(player_board);
  });
}

// The station's counterparts: name server, ZOL_server on the server's board, the
// publish-only server, and the two services the station times.
struct Servers {
  std::unique_ptr<Process> dns, server, sink;
  std::unique_ptr<zolbench::ServiceWatch> status, received;
  std::string download_cmd = std::string(kBoardPrefix) + "/CMD/DownloadFPGA";
};

Servers start_servers() {
  Servers v;
  v.dns = std::make_unique<Process>(
      std::vector<std::string>{zoltest::bin("dim_dns"), "-p", "0", "--grace", "0"}, zoltest::Env{});
  const std::regex listening("dim_dns: listening on port ([0-9]+)");
  if (!v.dns->wait_out([&](const std::string &s) { return std::regex_search(s, listening); }, 10s))
    fail("the name server did not start: " + v.dns->err());
  std::smatch m;
  const std::string dns_out = v.dns->out();
  std::regex_search(dns_out, m, listening);
  const std::string port = m[1].str();
  setenv("DIM_DNS_NODE", "127.0.0.1", 1);
  setenv("DIM_DNS_PORT", port.c_str(), 1);
  const zoltest::Env dim_env{{"DIM_DNS_NODE", "127.0.0.1"}, {"DIM_DNS_PORT", port}};

  zoltest::Env server_env = dim_env;
  server_env.push_back({"LB_SIM", server_board});
  v.server =
      std::make_unique<Process>(std::vector<std::string>{zoltest::bin("ZOL_server")}, server_env);
  v.sink =
      std::make_unique<Process>(std::vector<std::string>{self_path(), "--sink-server"}, dim_env);

  v.status =
      std::make_unique<zolbench::ServiceWatch>(std::string(kBoardPrefix) + "/SVC/FPGALoadStatus");
  v.received = std::make_unique<zolbench::ServiceWatch>(zolbench::kSinkService);
  // Both servers are ready once their services deliver contents.
  if (!v.status->wait_past(0, 20s))
    fail("ZOL_server did not publish FPGALoadStatus: " + v.server->out());
  if (!v.received->wait_past(0, 20s))
    fail("the publish-only server did not start: " + v.sink->err());
  return v;
}

// Connections made, buffers grown, the JTAG port switched on in both players. A too-short
// file makes the server answer "not recognised" without running anything.
void warm_up(Servers &v, zolbench::RawTcpPeer &raw, const std::vector<uint8_t> &image) {
  Clock::time_point sent;
  if (!raw.exchange(image.data())) fail("raw TCP warm-up failed");
  if (!zolbench::command_and_wait(zolbench::kSinkCommand, image.data(),
                                  static_cast<int>(image.size()), *v.received, kAnswerTimeout,
                                  &sent))
    fail("no answer from the publish-only server");
  const uint8_t short_file[16] = {};
  auto warm = zolbench::command_and_wait(v.download_cmd, short_file, sizeof short_file, *v.status,
                                         kAnswerTimeout, &sent);
  if (!warm || warm->word != 2)
    fail("ZOL_server did not refuse a 16-byte file: " + v.server->out());
}

// Raw TCP and the same bytes to the publish-only server, repeated.
void measure_transfer(Servers &v, zolbench::RawTcpPeer &raw, const std::vector<uint8_t> &image,
                      Figures &r) {
  const int isize = static_cast<int>(image.size());
  Clock::time_point sent;
  for (int i = 0; i < kTransferRepeats; ++i) {
    const auto t0 = Clock::now();
    if (!raw.exchange(image.data())) fail("raw TCP exchange failed");
    r.raw_tcp.add(ms(Clock::now() - t0));
    auto got = zolbench::command_and_wait(zolbench::kSinkCommand, image.data(), isize, *v.received,
                                          kAnswerTimeout, &sent);
    if (!got) fail("no update from the publish-only server");
    if (got->word != isize)
      fail("the publish-only server received " + std::to_string(got->word) + " bytes, not " +
           std::to_string(isize));
    r.transfer.add(ms(got->at - sent));
  }
}

// The whole download through ZOL_server, onto an FPGA that must be configured afresh; into
// `into` (the whole, or the whole with the progress followed).
void measure_whole(Servers &v, const Subject &subject, Best &into) {
  const auto control = lbsim::BoardControl::open(server_board);
  if (!control) fail("lost simulated board " + server_board);
  // The FPGA powered up afresh, so this load must configure it. A board reset would do
  // that too, but it also clears the CSR and so switches the server's JTAG port off.
  std::string why;
  if (!control->set_chain(control->chain(), &why) || any_configured(*control))
    fail("cannot unconfigure the server's FPGA " + why);
  Clock::time_point sent;
  auto got = zolbench::command_and_wait(v.download_cmd, subject.image.data(),
                                        static_cast<int>(subject.image.size()), *v.status,
                                        kDownloadTimeout, &sent);
  if (!got) fail("no FPGALoadStatus within the time limit");
  if (got->word != 1) fail("ZOL_server reported status " + std::to_string(got->word));
  lbsim::FpgaState s{};
  for (const auto &fp : control->fpgas())
    if (fp.device == 0) s = fp.state;
  if (!holds(s, subject.expected)) fail("the server's FPGA does not hold the file's configuration");
  into.add(ms(got->at - sent));
}

// The whole with a station following the progress service throughout.
void measure_followed(Servers &v, const Subject &subject, Figures &r) {
  zolbench::ServiceWatch progress(std::string(kBoardPrefix) + "/SVC/FPGALoadProgress");
  if (!progress.wait_past(0, kAnswerTimeout)) fail("ZOL_server did not publish its progress");
  const uint64_t before = progress.count();
  measure_whole(v, subject, r.followed);
  // The start, the end and the periodic records in between must have come.
  if (progress.count() < before + 2) fail("no progress records came during the download");
}

void measure_expansion(const Subject &subject, Figures &r) {
  for (int i = 0; i < kExpandRepeats; ++i) {
    const auto t0 = Clock::now();
    if (!zolbench::expand_blocks(subject.blocks, subject.version)) fail("expansion failed");
    r.expansion.add(ms(Clock::now() - t0));
  }
}

// FPGADownload in this process, then the same cycle count as raw TCK. Every round must
// clock the count of the first (`f.cycles`, set here).
void measure_player(zolbench::PlayerBoard &player, const Subject &subject, Figures &f, Figures &r) {
  const uint64_t c0 = player.cycles();
  const auto t0 = Clock::now();
  const int result = player.download(subject.image);
  const auto t1 = Clock::now();
  const uint64_t cycles = player.cycles() - c0;
  if (result != 0) fail("in-process FPGADownload returned " + std::to_string(result));
  if (!holds(player.fpga(), subject.expected)) fail("the in-process FPGA does not hold the file");
  if (f.cycles != 0 && cycles != f.cycles) fail("the download clocked a different cycle count");
  f.cycles = cycles;
  r.download.add(ms(t1 - t0));

  player.enter_data_shift();
  const auto t2 = Clock::now();
  player.raw_cycles(cycles, subject.data_bits);
  r.raw_tck.add(ms(Clock::now() - t2));
  player.reset_tap();
}

// One round's figures into the best of all rounds, and its line of output.
void add_round(const Figures &r, int round, Figures &f) {
  f.whole.add(r.whole.value);
  f.followed.add(r.followed.value);
  f.transfer.add(r.transfer.value);
  f.expansion.add(r.expansion.value);
  f.download.add(r.download.value);
  f.raw_tcp.add(r.raw_tcp.value);
  f.raw_tck.add(r.raw_tck.value);
  f.rounds = round + 1;
  std::printf(
      "round %d: whole %.2f ms, followed %.2f ms, transfer %.2f ms, raw TCP %.2f ms, "
      "expansion %.2f ms, FPGADownload %.2f ms, raw TCK %.2f ms\n",
      f.rounds, r.whole.value, r.followed.value, r.transfer.value, r.raw_tcp.value,
      r.expansion.value, r.download.value, r.raw_tck.value);
}

Figures run_rounds(const Options &options, Servers &v, zolbench::RawTcpPeer &raw,
                   zolbench::PlayerBoard &player, const Subject &subject) {
  Figures f;
  const auto started = Clock::now();
  for (int round = 0; round < options.rounds; ++round) {
    if (round > 0 && Clock::now() - started > kRoundBudget) break;
    Figures r;  // this round's figures
    measure_transfer(v, raw, subject.image, r);
    // Alternated, so that neither side always runs on a warmer machine.
    if (round % 2 == 0) {
      measure_whole(v, subject, r.whole);
      measure_followed(v, subject, r);
    } else {
      measure_followed(v, subject, r);
      measure_whole(v, subject, r.whole);
    }
    measure_expansion(subject, r);
    measure_player(player, subject, f, r);
    add_round(r, round, f);
  }
  return f;
}

// In this order: the station's watches and connections before the servers they talk to.
void stop_servers(Servers &v) {
  v.status.reset();
  v.received.reset();
  dim::shutdown();
  v.sink->stop();
  v.server->stop();
  v.dns->stop();
}

}  // namespace

int main(int argc, char **argv) {
  setvbuf(stdout, nullptr, _IOLBF, 0);
  if (argc == 2 && std::strcmp(argv[1], "--sink-server") == 0) zolbench::run_sink_server();
  const auto options = parse_options(argc, argv);
  if (!options) {
    std::fprintf(stderr, "usage: fpga_download_bench [--rounds=1..%d] [--file=FILE.jbc]\n",
                 kMaxRounds);
    return 2;
  }
  take_stop_signals();
  const Subject subject = load_subject(options->file);

  // The player's board in this process; the server's board for ZOL_server.
  auto player = zolbench::PlayerBoard::open(player_board);
  if (!player) fail("cannot open simulated board " + player_board);
  {
    auto control = lbsim::BoardControl::open(server_board);
    if (!control) fail("cannot open simulated board " + server_board);
    control->reset();
  }

  Servers servers = start_servers();
  zolbench::RawTcpPeer raw(subject.image.size());
  if (!raw.valid()) fail("the raw TCP peer did not connect");
  warm_up(servers, raw, subject.image);

  const Figures f = run_rounds(*options, servers, raw, *player, subject);
  print_summary(*options, subject.image.size(), subject.expected, f);

  stop_servers(servers);
  player.reset();
  lbsim::BoardControl::remove(server_board);
  std::fflush(stdout);
  return 0;
}
