// A 1-Mbit data register scan through the scan engine, next to the same number of raw port
// cycles, both on a private simulated board. Goal: the engine adds at most 10%.
//
// The raw cycles are clocked in Shift-DR, as the scan's are: the simulated chain moves every
// device's register on each Shift cycle and does next to nothing in Pause-DR, so raw cycles
// clocked where the last scan left the TAP would cost the board less than the scan's and
// charge the difference to the engine.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "board/pci_init.h"
#include "platform/lb/sim/board_control.h"
#include "stapl/src/jbijtag.h"
#include "stapl/src/jbiport.h"

namespace {

constexpr uint32_t kScanBits = 1u << 20;
constexpr double kLimitPct = 10.0;

std::vector<uint8_t> scan_data() {
  std::vector<uint8_t> data(kScanBits / 8);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 131 + 17);
  return data;
}

// TMS stays 0, so the TAP stays in Shift-DR, where enter_shift_dr() put it and where the
// engine's record says it is.
void raw_cycles(const std::vector<uint8_t> &data) {
  for (uint32_t i = 0; i < kScanBits; ++i) jbi_jtag_io(0, data[i >> 3] & (1u << (i & 7)), 0);
}

void enter_shift_dr() {
  if (jbi_goto_jtag_state(DRSHIFT) != 0) std::abort();
}

void player_scan(const std::vector<uint8_t> &data) {
  if (jbi_do_drscan(kScanBits, data.data(), 0) != 0) std::abort();
}

double seconds_of(void (*work)(const std::vector<uint8_t> &), const std::vector<uint8_t> &data) {
  const auto t0 = std::chrono::steady_clock::now();
  work(data);
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

void BM_RawPortCycles1Mbit(benchmark::State &state) {
  const std::vector<uint8_t> data = scan_data();
  jbi_init_jtag();
  enter_shift_dr();
  for (auto _ : state) raw_cycles(data);
  jbi_free_jtag_padding_buffers(0);
  state.counters["cycles_per_s"] = benchmark::Counter(
      static_cast<double>(state.iterations()) * kScanBits, benchmark::Counter::kIsRate);
}
BENCHMARK(BM_RawPortCycles1Mbit)->Unit(benchmark::kMillisecond)->Iterations(4);

void BM_PlayerDrScan1Mbit(benchmark::State &state) {
  const std::vector<uint8_t> data = scan_data();
  jbi_init_jtag();
  for (auto _ : state) player_scan(data);
  jbi_free_jtag_padding_buffers(0);
  state.counters["cycles_per_s"] = benchmark::Counter(
      static_cast<double>(state.iterations()) * (kScanBits + 9), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_PlayerDrScan1Mbit)->Unit(benchmark::kMillisecond)->Iterations(4);

// Both, interleaved in one run so that the comparison sees the same machine load.
void BM_ScanEngineOverhead(benchmark::State &state) {
  const std::vector<uint8_t> data = scan_data();
  jbi_init_jtag();
  double raw = 0;
  double player = 0;
  for (auto _ : state) {
    enter_shift_dr();
    raw += seconds_of(raw_cycles, data);
    player += seconds_of(player_scan, data);
  }
  jbi_free_jtag_padding_buffers(0);
  state.counters["raw_ms"] = raw * 1e3 / static_cast<double>(state.iterations());
  state.counters["player_ms"] = player * 1e3 / static_cast<double>(state.iterations());
  const double overhead_pct = (player / raw - 1.0) * 100.0;
  state.counters["overhead_pct"] = overhead_pct;
  state.counters["limit_pct"] = kLimitPct;
  state.SetLabel(overhead_pct <= kLimitPct ? "met" : "OVER LIMIT");
}
BENCHMARK(BM_ScanEngineOverhead)->Unit(benchmark::kMillisecond)->Iterations(12);

}  // namespace

int main(int argc, char **argv) {
  // A board of our own: nobody else's chain is clocked and nobody disturbs our timing.
  const std::string board = "bench-scan-" + std::to_string(getpid());
  setenv("LB_SIM", board.c_str(), 1);
  unsetenv("LB_DEVICE");
  if (auto control = lbsim::BoardControl::open(board)) control->reset();
  open_local_bus();
  calibrate_delay();

  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  lbsim::BoardControl::remove(board);
  return 0;
}
