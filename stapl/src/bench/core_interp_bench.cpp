// Interpreter speed on a counted loop (x = x + i for i = 1..N), next to lua5.4 running the
// same loop, measured in the same run. Goal: the player's time within 3x Lua's.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "stapl/src/jbiexprt.h"
#include "stapl/src/jbiopcodes.h"
#include "stapl/src/tests/support/bytecode_builder.h"

namespace {

constexpr int32_t kIterations = 5'000'000;
constexpr int kInstructionsPerIteration = 5;  // PUSH_VARIABLE x2, ADD, STORE_VARIABLE, LOOP_NEXT
constexpr double kLimitRatio = 3.0;

std::vector<uint8_t> counted_loop() {
  bytecode::Builder b(1);
  const uint32_t i = b.scalar("I");
  const uint32_t x = b.scalar("X", 0);
  b.push({1});
  b.op(OP_STORE_VARIABLE, i);
  const uint32_t body_push = b.op(OP_PUSH_LITERAL, 0);
  b.push({kIterations, 1});
  const uint32_t body = b.here();
  b.op(OP_PUSH_VARIABLE, x);
  b.op(OP_PUSH_VARIABLE, i);
  b.op(OP_ADD);
  b.op(OP_STORE_VARIABLE, x);
  b.op(OP_LOOP_NEXT, i);
  b.push({0});
  b.op(OP_EXIT);
  b.patch(body_push, 0, body);
  return b.build();
}

// Seconds lua5.4 spends in the same loop, timed inside Lua so that start-up is not counted;
// negative when Lua cannot be run.
double lua_seconds() {
  const std::string command =
      "lua5.4 -e 'local t = os.clock(); local x = 0; for i = 1, " + std::to_string(kIterations) +
      " do x = x + i end; print(os.clock() - t)' 2>/dev/null";
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return -1;
  double seconds = -1;
  if (std::fscanf(pipe, "%lf", &seconds) != 1) seconds = -1;
  pclose(pipe);
  return seconds;
}

void BM_InterpreterCountedLoop(benchmark::State& state) {
  const std::vector<uint8_t> image = counted_loop();
  double best_lua = 1e9;
  for (int k = 0; k < 3; ++k) {
    const double s = lua_seconds();
    if (s > 0 && s < best_lua) best_lua = s;
  }
  double total = 0;
  for (auto _ : state) {
    long error = 0;
    int exit_code = -1, format = 0;
    const auto start = std::chrono::steady_clock::now();
    const int result = jbi_execute(image.data(), static_cast<long>(image.size()), nullptr, nullptr,
                                   0, &error, &exit_code, &format);
    total += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (result != 0 || exit_code != 0) state.SkipWithError("loop program failed");
  }
  const double per_run = total / static_cast<double>(state.iterations());
  state.counters["instr_per_s"] = static_cast<double>(kIterations) * kInstructionsPerIteration / per_run;
  state.counters["player_s"] = per_run;
  if (best_lua < 1e9) {
    state.counters["lua_s"] = best_lua;
    state.counters["ratio"] = per_run / best_lua;
    state.counters["limit_ratio"] = kLimitRatio;
    std::printf("counted loop: player %.3f s, lua5.4 %.3f s, ratio %.2f (limit %.1f) %s\n", per_run,
                best_lua, per_run / best_lua, kLimitRatio,
                per_run / best_lua <= kLimitRatio ? "within limit" : "OVER LIMIT");
  } else {
    state.counters["lua_s"] = -1;
    std::printf("counted loop: player %.3f s, lua5.4 not available\n", per_run);
  }
}
BENCHMARK(BM_InterpreterCountedLoop)->Unit(benchmark::kMillisecond)->Iterations(5);

}  // namespace

BENCHMARK_MAIN();
