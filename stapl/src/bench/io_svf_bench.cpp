// SVF recording and playing on a private simulated board, each next to what it is held to,
// measured in interleaved rounds of the same run, the median round of each side compared:
//   - a run of configure_good.jbc recorded as SVF against the same run unrecorded: at most
//     10 % slower;
//   - playing an SVF file of an 8-Mbit configuration (recorded from configure_8mbit.jbc)
//     against its configuration frame clocked as raw port cycles: at most 1.2 times as long.
// The simulated board runs in this thread, so the thread's CPU time is all the work of a
// round, and the limits are checked on it: the machine is shared, and the wall time of a
// round of a few milliseconds that another process pre-empts shows that process. The
// wall-time figures are printed beside it.
#include <benchmark/benchmark.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "board/pci_init.h"
#include "platform/lb/sim/board_control.h"
#include "stapl/src/jbiexprt.h"
#include "stapl/src/jbijtag.h"
#include "stapl/src/jbiport.h"
#include "stapl/src/svf_parser.h"
#include "stapl/src/svf_player.h"
#include "stapl/src/svf_writer.h"

namespace {

constexpr double kRecordLimitPct = 10.0;
constexpr double kPlayLimitRatio = 1.2;

std::string svf_path;

std::vector<uint8_t> read_all(const char *path) {
  std::ifstream in(path, std::ios::binary);
  std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)),
                             std::istreambuf_iterator<char>());
  if (bytes.empty()) {
    std::fprintf(stderr, "cannot read %s\n", path);
    std::exit(1);
  }
  return bytes;
}

void configure(const std::vector<uint8_t> &image) {
  long error_address = 0;
  int exit_code = 0, format = 0;
  const int rc = jbi_execute(image.data(), static_cast<long>(image.size()), "configure", nullptr, 0,
                             &error_address, &exit_code, &format);
  if (rc != JBI_RC_SUCCESS || exit_code != 0) std::abort();
}

// Wall and thread CPU time of each round of one side.
struct Rounds {
  std::vector<double> wall, cpu;
};

double thread_cpu_seconds() {
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

template <typename Work>
void time_round(Rounds &rounds, Work work) {
  const double cpu0 = thread_cpu_seconds();
  const auto t0 = std::chrono::steady_clock::now();
  work();
  rounds.wall.push_back(
      std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count());
  rounds.cpu.push_back(thread_cpu_seconds() - cpu0);
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  const size_t n = v.size();
  return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

// Each round runs both sides, first the one that went second in the round before, so that
// neither always finds the caches the other left.
template <typename A, typename B>
void interleave(benchmark::State &state, A a, B b) {
  bool a_first = true;
  for (auto _ : state) {
    if (a_first) {
      a();
      b();
    } else {
      b();
      a();
    }
    a_first = !a_first;
  }
}

const char *verdict(bool met) { return met ? "met" : "OVER LIMIT"; }

void BM_RecordingOverhead(benchmark::State &state) {
  const std::vector<uint8_t> image = read_all(FPGA_CONFIGURE_GOOD_JBC);
  Rounds plain, recorded;
  interleave(
      state, [&] { time_round(plain, [&] { configure(image); }); },
      [&] {
        time_round(recorded, [&] {
          if (svf_record_open(svf_path.c_str()) != 0) std::abort();
          configure(image);
          if (svf_record_close() != 0) std::abort();
        });
      });
  const double overhead_pct = (median(recorded.cpu) / median(plain.cpu) - 1.0) * 100.0;
  state.counters["plain_ms"] = median(plain.cpu) * 1e3;
  state.counters["recorded_ms"] = median(recorded.cpu) * 1e3;
  state.counters["overhead_pct"] = overhead_pct;
  state.counters["limit_pct"] = kRecordLimitPct;
  state.counters["wall_overhead_pct"] = (median(recorded.wall) / median(plain.wall) - 1.0) * 100.0;
  state.SetLabel(verdict(overhead_pct <= kRecordLimitPct));
}
BENCHMARK(BM_RecordingOverhead)->Unit(benchmark::kMillisecond)->Iterations(31);

// The TDI bits of the file's longest SDR: the configuration frame.
std::vector<uint8_t> longest_scan(const std::vector<uint8_t> &text, uint32_t *length) {
  SVF_PARSER parser;
  svf_parser_init(&parser, reinterpret_cast<const char *>(text.data()),
                  static_cast<int64_t>(text.size()));
  SVF_STATEMENT st;
  char error[160];
  std::vector<uint8_t> bits;
  *length = 0;
  while (svf_parse_next(&parser, &st, error, sizeof error) > 0) {
    if (st.command != SVF_SDR || st.length <= *length || st.tdi.text == nullptr) continue;
    *length = st.length;
    bits.assign((st.length + 7) / 8, 0);
    svf_hex_to_bits(st.tdi, st.length, bits.data());
  }
  return bits;
}

// The frame's bits as raw port cycles, in the chain state the program shifts them in
// (FPGA_START, then FPGA_LOAD, device 1 in BYPASS): the simulated FPGA does the same work
// per bit on both sides, so the difference is the player's. Only the cycles are timed.
void raw_frame(Rounds &rounds, const std::vector<uint8_t> &bits, uint32_t length) {
  const uint8_t start[2] = {0x10, 0x00}, load[2] = {0x11, 0x00};
  jbi_init_jtag();
  jbi_set_ir_preamble(6, 0, nullptr);
  jbi_do_irscan(10, start, 0);
  jbi_do_irscan(10, load, 0);
  jbi_goto_jtag_state(DRSHIFT);
  time_round(rounds, [&] {
    for (uint32_t i = 0; i < length; ++i)
      jbi_jtag_io(i + 1 == length, bits[i >> 3] & (1u << (i & 7)), 0);
  });
  jbi_jtag_state = DREXIT1;
  jbi_goto_jtag_state(IDLE);
  jbi_free_jtag_padding_buffers(0);
}

void BM_Play8MbitAgainstRawCycles(benchmark::State &state) {
  // The file: one recorded run of the 8-Mbit configuration.
  const std::vector<uint8_t> image = read_all(FPGA_CONFIGURE_8MBIT_JBC);
  if (svf_record_open(svf_path.c_str()) != 0) std::abort();
  configure(image);
  if (svf_record_close() != 0) std::abort();
  const std::vector<uint8_t> text = read_all(svf_path.c_str());
  uint32_t frame_bits = 0;
  const std::vector<uint8_t> frame = longest_scan(text, &frame_bits);

  Rounds play, raw;
  interleave(
      state,
      [&] {
        time_round(play, [&] {
          if (svf_play(reinterpret_cast<const char *>(text.data()),
                       static_cast<int64_t>(text.size())) != SVF_OK)
            std::abort();
        });
      },
      [&] { raw_frame(raw, frame, frame_bits); });
  const double ratio = median(play.cpu) / median(raw.cpu);
  state.counters["svf_bytes"] = static_cast<double>(text.size());
  state.counters["frame_bits"] = static_cast<double>(frame_bits);
  state.counters["tck_cycles"] = static_cast<double>(svf_last_play.tck_cycles);
  state.counters["play_ms"] = median(play.cpu) * 1e3;
  state.counters["raw_ms"] = median(raw.cpu) * 1e3;
  state.counters["ratio"] = ratio;
  state.counters["limit_ratio"] = kPlayLimitRatio;
  state.counters["wall_ratio"] = median(play.wall) / median(raw.wall);
  state.SetLabel(verdict(ratio <= kPlayLimitRatio));
}
BENCHMARK(BM_Play8MbitAgainstRawCycles)->Unit(benchmark::kMillisecond)->Iterations(7);

}  // namespace

int main(int argc, char **argv) {
  // A board of our own: nobody else's chain is clocked and nobody disturbs our timing.
  const std::string board = "bench-svf-" + std::to_string(getpid());
  svf_path = "/tmp/" + board + ".svf";
  setenv("LB_SIM", board.c_str(), 1);
  unsetenv("LB_DEVICE");
  if (auto control = lbsim::BoardControl::open(board)) control->reset();
  open_local_bus();
  calibrate_delay();

  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  std::remove(svf_path.c_str());
  lbsim::BoardControl::remove(board);
  return 0;
}
