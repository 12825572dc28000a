// Interpreter speed on a counted loop (x = x + i for i = 1..N), next to lua5.4 running the
// same loop, measured in the same run. Goal: the player's time within 3x Lua's.
//
// Like with like: both sides are timed as CPU time of their own process (Lua's os.clock(),
// the player's CLOCK_PROCESS_CPUTIME_ID), so neither Lua's start-up nor time lost to other
// processes on a shared machine counts; each side's figure is the best of several runs. The
// player's program exits with x, and Lua prints its x, so the two are known to have run the
// same loop the same number of times.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <string>
#include <vector>

#include "stapl/src/jbiexprt.h"
#include "stapl/src/jbiopcodes.h"
#include "stapl/src/tests/support/bytecode_builder.h"

namespace {

constexpr int32_t kIterations = 5'000'000;
constexpr int kInstructionsPerIteration = 5;  // PUSH_VARIABLE x2, ADD, STORE_VARIABLE, LOOP_NEXT
constexpr int kRuns = 7;
constexpr double kLimitRatio = 3.0;

// The sum 1..N as the player's 32-bit values hold it.
constexpr int32_t kExpectedSum =
    static_cast<int32_t>(static_cast<uint32_t>(int64_t{kIterations} * (kIterations + 1) / 2));

std::vector<uint8_t> counted_loop() {
  playertest::bytecode::Builder b(1);
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
  b.op(OP_PUSH_VARIABLE, x);
  b.op(OP_EXIT);
  b.patch(body_push, 0, body);
  return b.build();
}

double cpu_seconds() {
  timespec t{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

struct LuaResult {
  double seconds = -1;  // best of kRuns; negative when Lua cannot be run
  long long sum = 0;
};

LuaResult lua_run() {
  const std::string n = std::to_string(kIterations);
  const std::string runs = std::to_string(kRuns);
  const std::string command = "lua5.4 -e 'local best, x = math.huge, 0; for r = 1, " + runs +
                              " do local t = os.clock(); x = 0; for i = 1, " + n +
                              " do x = x + i end; best = math.min(best, os.clock() - t) end;"
                              " print(string.format(\"%.6f %d\", best, x))' 2>/dev/null";
  LuaResult result;
  FILE *pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return result;
  if (std::fscanf(pipe, "%lf %lld", &result.seconds, &result.sum) != 2) result.seconds = -1;
  pclose(pipe);
  return result;
}

void BM_InterpreterCountedLoop(benchmark::State &state) {
  const std::vector<uint8_t> image = counted_loop();
  const LuaResult lua = lua_run();
  double best = 1e9;
  for (auto _ : state) {
    long error = 0;
    int exit_code = -1, format = 0;
    const double start = cpu_seconds();
    const int result = jbi_execute(image.data(), static_cast<long>(image.size()), nullptr, nullptr,
                                   0, &error, &exit_code, &format);
    best = std::min(best, cpu_seconds() - start);
    if (result != 0 || exit_code != kExpectedSum) state.SkipWithError("loop program failed");
  }
  state.counters["instr_per_s"] =
      static_cast<double>(kIterations) * kInstructionsPerIteration / best;
  state.counters["player_s"] = best;
  if (lua.seconds > 0 && static_cast<int32_t>(static_cast<uint32_t>(lua.sum)) != kExpectedSum) {
    state.SkipWithError("lua5.4 ran a different loop");
  } else if (lua.seconds > 0) {
    const double ratio = best / lua.seconds;
    state.counters["lua_s"] = lua.seconds;
    state.counters["ratio"] = ratio;
    state.counters["limit_ratio"] = kLimitRatio;
    std::printf(
        "counted loop (CPU time, best of %d): player %.4f s, lua5.4 %.4f s, ratio %.2f "
        "(limit %.1f) %s\n",
        kRuns, best, lua.seconds, ratio, kLimitRatio,
        ratio <= kLimitRatio ? "within limit" : "OVER LIMIT");
  } else {
    state.counters["lua_s"] = -1;
    std::printf("counted loop: player %.4f s, lua5.4 not available\n", best);
  }
}
BENCHMARK(BM_InterpreterCountedLoop)->Unit(benchmark::kMillisecond)->Iterations(kRuns);

}  // namespace

BENCHMARK_MAIN();
