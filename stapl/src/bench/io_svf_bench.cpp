// SVF recording and playing on a private simulated board, each next to what it is held to,
// measured interleaved in the same run so both sides see the same machine load:
//   - a run of configure_good.jbc recorded as SVF against the same run unrecorded: at most
//     10 % slower;
//   - playing an SVF file of an 8-Mbit configuration (recorded from configure_8mbit.jbc)
//     against its configuration frame clocked as raw port cycles: at most 1.2 times as long.
#include <benchmark/benchmark.h>
#include <unistd.h>

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
double raw_seconds = 0;

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

double seconds_since(std::chrono::steady_clock::time_point t0) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

void BM_RecordingOverhead(benchmark::State &state) {
  const std::vector<uint8_t> image = read_all(FPGA_CONFIGURE_GOOD_JBC);
  double plain = 0, recorded = 0;
  for (auto _ : state) {
    auto t0 = std::chrono::steady_clock::now();
    configure(image);
    plain += seconds_since(t0);
    t0 = std::chrono::steady_clock::now();
    if (svf_record_open(svf_path.c_str()) != 0) std::abort();
    configure(image);
    if (svf_record_close() != 0) std::abort();
    recorded += seconds_since(t0);
  }
  const double n = static_cast<double>(state.iterations());
  state.counters["plain_ms"] = plain * 1e3 / n;
  state.counters["recorded_ms"] = recorded * 1e3 / n;
  state.counters["overhead_pct"] = (recorded / plain - 1.0) * 100.0;
  state.counters["limit_pct"] = kRecordLimitPct;
}
BENCHMARK(BM_RecordingOverhead)->Unit(benchmark::kMillisecond)->Iterations(10);

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
// per bit on both sides, so the difference is the player's.
void raw_frame(const std::vector<uint8_t> &bits, uint32_t length) {
  const uint8_t start[2] = {0x10, 0x00}, load[2] = {0x11, 0x00};
  jbi_init_jtag();
  jbi_set_ir_preamble(6, 0, nullptr);
  jbi_do_irscan(10, start, 0);
  jbi_do_irscan(10, load, 0);
  jbi_goto_jtag_state(DRSHIFT);
  const auto t0 = std::chrono::steady_clock::now();
  for (uint32_t i = 0; i < length; ++i)
    jbi_jtag_io(i + 1 == length, bits[i >> 3] & (1u << (i & 7)), 0);
  raw_seconds += seconds_since(t0);
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

  double play = 0;
  raw_seconds = 0;
  for (auto _ : state) {
    const auto t0 = std::chrono::steady_clock::now();
    const int rc =
        svf_play(reinterpret_cast<const char *>(text.data()), static_cast<int64_t>(text.size()));
    play += seconds_since(t0);
    if (rc != SVF_OK) std::abort();
    raw_frame(frame, frame_bits);
  }
  const double n = static_cast<double>(state.iterations());
  state.counters["svf_bytes"] = static_cast<double>(text.size());
  state.counters["frame_bits"] = static_cast<double>(frame_bits);
  state.counters["tck_cycles"] = static_cast<double>(svf_last_play.tck_cycles);
  state.counters["play_ms"] = play * 1e3 / n;
  state.counters["raw_ms"] = raw_seconds * 1e3 / n;
  state.counters["ratio"] = play / raw_seconds;
  state.counters["limit_ratio"] = kPlayLimitRatio;
}
BENCHMARK(BM_Play8MbitAgainstRawCycles)->Unit(benchmark::kMillisecond)->Iterations(4);

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
