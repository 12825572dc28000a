// Expansion throughput of compressed data blocks, next to memcpy of the same output size.
// Goal: at least 300 MB/s of expanded output.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

#include "stapl/src/jbicomp.h"

namespace {

constexpr uint32_t kOutputBytes = 16u << 20;
constexpr double kGoalMBps = 300.0;

// Writes groups straight into a block, LSB first, tracking the output produced so far.
class StreamBuilder {
 public:
  explicit StreamBuilder(uint32_t length) : length_(length) { put(length, 32); }
  void put(uint32_t value, unsigned bits) {
    for (unsigned b = 0; b < bits; ++b, ++pos_) {
      if (pos_ % 8 == 0) bytes_.push_back(0);
      if ((value >> b) & 1) bytes_.back() |= static_cast<uint8_t>(1u << (pos_ % 8));
    }
  }
  void literals(std::mt19937 &rng) {
    put(0, 1);
    for (int k = 0; k < 3 && produced_ < length_; ++k, ++produced_) put(rng() & 0xFF, 8);
  }
  void match(uint32_t offset, uint32_t length) {
    const uint32_t window = produced_ < 8191 ? produced_ : 8191;
    put(1, 1);
    put(offset, jbi_bits_required(window));
    put(length, 8);
    produced_ += length;
    if (produced_ > length_) produced_ = length_;
  }
  bool full() const { return produced_ >= length_; }
  uint32_t produced() const { return produced_; }
  std::vector<uint8_t> &bytes() { return bytes_; }

 private:
  uint32_t length_;
  uint32_t produced_ = 0;
  uint64_t pos_ = 0;
  std::vector<uint8_t> bytes_;
};

// Configuration data: mostly repeats of earlier frames and runs, with literal stretches.
std::vector<uint8_t> mixed_block() {
  std::mt19937 rng(7);
  StreamBuilder s(kOutputBytes);
  while (!s.full()) {
    const uint32_t roll = rng() % 10;
    if (s.produced() < 64 || roll < 3) {
      s.literals(rng);
    } else {
      const uint32_t limit = s.produced() < 8191 ? s.produced() : 8191;
      const uint32_t offset = roll < 5 ? 1 : 1 + rng() % limit;
      s.match(offset, 16 + rng() % 240);
    }
  }
  return s.bytes();
}

// The worst case: nothing but literal groups.
std::vector<uint8_t> literal_block() {
  std::mt19937 rng(11);
  StreamBuilder s(kOutputBytes);
  while (!s.full()) s.literals(rng);
  return s.bytes();
}

void run_expand(benchmark::State &state, const std::vector<uint8_t> &block) {
  std::vector<uint8_t> out(kOutputBytes);
  std::vector<uint8_t> copy(kOutputBytes);
  // The reference, measured in this run: memcpy of the same output size.
  const auto t0 = std::chrono::steady_clock::now();
  for (int i = 0; i < 8; ++i) {
    std::memcpy(copy.data(), out.data(), kOutputBytes);
    benchmark::DoNotOptimize(copy.data());
  }
  const double memcpy_s =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count() / 8;

  for (auto _ : state) {
    const uint32_t n = jbi_uncompress(block.data(), static_cast<uint32_t>(block.size()), out.data(),
                                      kOutputBytes, 1);
    if (n != kOutputBytes) state.SkipWithError("block did not expand to its length");
    benchmark::DoNotOptimize(out.data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kOutputBytes);
  state.counters["expand_MB"] = benchmark::Counter(
      static_cast<double>(state.iterations()) * kOutputBytes / 1e6, benchmark::Counter::kIsRate);
  state.counters["memcpy_MBps"] = kOutputBytes / 1e6 / memcpy_s;
  state.counters["goal_MBps"] = kGoalMBps;
}

void BM_ExpandMixedBlock(benchmark::State &state) {
  static const std::vector<uint8_t> block = mixed_block();
  run_expand(state, block);
}
BENCHMARK(BM_ExpandMixedBlock)->Unit(benchmark::kMillisecond);

void BM_ExpandLiteralBlock(benchmark::State &state) {
  static const std::vector<uint8_t> block = literal_block();
  run_expand(state, block);
}
BENCHMARK(BM_ExpandLiteralBlock)->Unit(benchmark::kMillisecond);

void BM_MemcpySameSize(benchmark::State &state) {
  std::vector<uint8_t> a(kOutputBytes, 1);
  std::vector<uint8_t> b(kOutputBytes);
  for (auto _ : state) {
    std::memcpy(b.data(), a.data(), kOutputBytes);
    benchmark::DoNotOptimize(b.data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kOutputBytes);
}
BENCHMARK(BM_MemcpySameSize)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
