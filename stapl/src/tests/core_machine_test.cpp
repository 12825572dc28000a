// The interpreter machine: start-up, choice of action and procedures, the fetch-decode loop's
// limits and error addresses, and release of all memory on every path.
#include <gtest/gtest.h>

#include <vector>

#include "stapl/src/jbiopcodes.h"
#include "stapl/src/tests/core_run.h"
#include "stapl/src/tests/support/bytecode_builder.h"

namespace {

using playertest::bytecode::Builder;
using playertest::run::kUnwrittenAddress;
using playertest::run::kUnwrittenExit;
using playertest::run::kUnwrittenFormat;
using playertest::run::run;

// ---- start-up ----

TEST(StartUp, ShortBlockGives2AndLeavesFormatUnwritten) {
  std::vector<uint8_t> image(52, 0);
  image[0] = 'J', image[1] = 'A', image[2] = 'M', image[3] = 1;
  const auto o = run(image);
  EXPECT_EQ(o.result, 2);
  EXPECT_EQ(o.format_version, kUnwrittenFormat);
  EXPECT_EQ(o.error_address, kUnwrittenAddress);
  EXPECT_EQ(o.exit_code, kUnwrittenExit);
}

TEST(StartUp, WrongIdentificationWordOf53BytesGives2WithFormatWritten) {
  std::vector<uint8_t> image(53, 0);
  image[0] = 'J', image[1] = 'A', image[2] = 'M', image[3] = 3;
  const auto o = run(image);
  EXPECT_EQ(o.result, 2);
  EXPECT_EQ(o.format_version, 2);  // version bit of the word, read before the word is checked
  EXPECT_TRUE(playertest::port::trace().empty());
}

TEST(StartUp, Format1RunsFromTheFirstByteOfCodeAndIgnoresTheAction) {
  Builder b(1);
  b.push({42});
  b.op(OP_EXIT);
  const auto o = run(b.build(), nullptr);
  EXPECT_EQ(o.result, 0);
  EXPECT_EQ(o.exit_code, 42);
  EXPECT_EQ(o.format_version, 1);
  EXPECT_EQ(o.live_blocks, 0);
}

TEST(StartUp, Format1InitialValuesSetEveryScalarOfThatNameInAnyCase) {
  Builder b(1);
  const uint32_t a = b.scalar("COUNT", 1);
  const uint32_t c = b.scalar("count");
  b.op(OP_PUSH_VARIABLE, a);
  b.op(OP_PUSH_VARIABLE, c);
  b.op(OP_ADD);
  b.op(OP_EXIT);
  const auto image = b.build();
  EXPECT_EQ(run(image, nullptr, {"Count=5"}).exit_code, 10);
  EXPECT_EQ(run(image, nullptr, {"COUNT=5", "count=7"}).exit_code, 14);  // later entries win
  EXPECT_EQ(run(image, nullptr, {"COUNT 5"}).exit_code, 1);              // no "=": ignored
  EXPECT_EQ(run(image, nullptr).exit_code, 1);
}

TEST(StartUp, Format2InitialValuesTouchNoSymbol) {
  Builder b(2);
  const uint32_t v = b.scalar("COUNT", 1);
  const uint32_t code = b.op(OP_PUSH_VARIABLE, v);
  b.op(OP_EXIT);
  b.procedure("COUNT", 0, 0, code);
  b.action("main", 0);
  EXPECT_EQ(run(b.build(), "main", {"COUNT=5"}).exit_code, 1);
}

TEST(StartUp, ActionMissingOrNullGives24AndNamesMatchRegardlessOfCase) {
  Builder b(2);
  const uint32_t code = b.op(OP_PUSH_LITERAL, 3);
  b.op(OP_EXIT);
  b.procedure("p", 0, 0, code);
  b.action("configure", 0);
  const auto image = b.build();
  EXPECT_EQ(run(image, nullptr).result, 24);
  const auto missing = run(image, "erase");
  EXPECT_EQ(missing.result, 24);
  EXPECT_EQ(missing.error_address, kUnwrittenAddress);
  const auto upper = run(image, "CONFIGURE");
  EXPECT_EQ(upper.result, 0);
  EXPECT_EQ(upper.exit_code, 3);
}

TEST(StartUp, UnpackedDataShorterThanStatedGives2) {
  // 'abcabcabcabcX' packed; then the stated length raised by one so that the stream ends early.
  Builder b(2);
  b.bool_array_packed("D", {0x0E, 0x00, 0x00, 0x00, 0xC2, 0xC4, 0xC6, 0x9E, 0x00, 0x0B});
  const uint32_t code = b.op(OP_PUSH_ZERO);
  b.op(OP_EXIT);
  b.procedure("p", 0, 0, code);
  b.action("main", 0);
  const auto o = run(b.build());
  EXPECT_EQ(o.result, 2);
  EXPECT_EQ(o.exit_code, kUnwrittenExit);
  EXPECT_EQ(o.live_blocks, 0);
}

TEST(StartUp, UnpackedDataIsReadableAsBits) {
  Builder b(1);
  const uint32_t d =
      b.bool_array_packed("D", {0x0D, 0x00, 0x00, 0x00, 0xC2, 0xC4, 0xC6, 0x9E, 0x00, 0x0B});
  b.push({96, 8});  // format 1: start and count; the last byte 'X' = 0x58
  b.op(OP_PUSH_BOOL_RANGE, d);
  b.op(OP_EXIT);
  const auto o = run(b.build());
  EXPECT_EQ(o.result, 0);
  EXPECT_EQ(o.exit_code, 0x58);
}

TEST(StartUp, ArrayDataOutsideTheBlockIsRefusedBeforeAnyInstruction) {
  Builder b(2);
  b.symbol(playertest::bytecode::kIntArrayInit, "BIG", 0,
           1000);  // no data in the file for 1000 elements
  const uint32_t code = b.op(OP_PUSH_ZERO);
  b.op(OP_EXIT);
  b.procedure("p", 0, 0, code);
  b.action("main", 0);
  const auto o = run(b.build());
  EXPECT_EQ(o.result, 2);
  EXPECT_EQ(o.live_blocks, 0);
}

// ---- procedure chain ----

// Procedures A (optional) -> B (recommended) -> C (always), each adding its mark to a scalar;
// C exits with the sum.
std::vector<uint8_t> chain_image(uint8_t a_attr = 1, uint8_t b_attr = 2, uint8_t c_attr = 0) {
  Builder b(2);
  const uint32_t sum = b.scalar("SUM", 0);
  auto proc = [&](int32_t mark) {
    const uint32_t at = b.op(OP_PUSH_VARIABLE, sum);
    b.push({mark});
    b.op(OP_ADD);
    b.op(OP_STORE_VARIABLE, sum);
    b.op(OP_RETURN);
    return at;
  };
  const uint32_t pa = proc(1), pb = proc(10), pc = proc(100);
  const uint32_t tail = b.op(OP_PUSH_VARIABLE, sum);
  b.op(OP_EXIT);
  (void)tail;
  b.procedure("A", 1, a_attr, pa);
  b.procedure("B", 2, b_attr, pb);
  b.procedure("C", 3, c_attr, pc);
  b.procedure("END", 0, 0, tail);
  b.action("main", 0);
  return b.build();
}

TEST(ProcedureChain, OptionalSkippedRecommendedRunByDefault) {
  const auto o = run(chain_image());
  EXPECT_EQ(o.result, 0);
  EXPECT_EQ(o.exit_code, 110);
}

TEST(ProcedureChain, InitListRunsOptionalAndSkipsRecommended) {
  EXPECT_EQ(run(chain_image(), "main", {"a=1"}).exit_code, 111);
  EXPECT_EQ(run(chain_image(), "main", {"B=0"}).exit_code, 100);
  EXPECT_EQ(run(chain_image(), "main", {"A=1", "b=0", "B=3"}).exit_code, 111);  // run wins
  EXPECT_EQ(run(chain_image(), "main", {"C=0"}).exit_code, 110);  // always-run ignores choices
  EXPECT_EQ(run(chain_image(), "main", {"A"}).exit_code, 110);    // no "=": no effect
}

TEST(ProcedureChain, LastProcedureReturningEndsWithExitCodeZero) {
  Builder b(2);
  const uint32_t p0 = b.op(OP_RETURN);
  const uint32_t p1 = b.op(OP_RETURN);
  b.procedure("first", 1, 0, p0);
  b.procedure("second", 0, 0, p1);
  b.action("main", 0);
  const auto o = run(b.build());
  EXPECT_EQ(o.result, 0);
  EXPECT_EQ(o.exit_code, 0);
}

TEST(ProcedureChain, ActionWithNothingRunnableEndsAtOnceWithoutExitCode) {
  Builder b(2);
  const uint32_t code = b.op(0x3F);  // an illegal opcode: must never execute
  b.procedure("x", 0, 0, code);
  b.procedure("opt1", 2, 1, code);
  b.procedure("opt2", 0, 1, code);
  b.action("main", 1);
  const auto o = run(b.build());
  EXPECT_EQ(o.result, 0);
  EXPECT_EQ(o.exit_code, kUnwrittenExit);
  EXPECT_TRUE(playertest::port::trace().empty());
}

TEST(ProcedureChain, ChainThatLeadsBackIsRefused) {
  Builder b(2);
  const uint32_t code = b.op(OP_RETURN);
  b.procedure("a", 1, 0, code);
  b.procedure("b", 1, 0, code);  // next is itself
  b.action("main", 0);
  const auto o = run(b.build());
  EXPECT_EQ(o.result, 2);
  EXPECT_EQ(o.live_blocks, 0);
}

TEST(ProcedureChain, ProcedureStartOutsideTheCodeGives11BeforeAnyInstruction) {
  Builder b(2);
  const uint32_t code = b.op(OP_RETURN);
  b.procedure("a", 0, 0, code + 500);
  b.action("main", 0);
  const auto o = run(b.build());
  EXPECT_EQ(o.result, 11);
  EXPECT_EQ(o.error_address, kUnwrittenAddress);
}

// ---- the loop's limits ----

TEST(Loop, IllegalOpcodeAtOffset16Gives21WithErrorAddress16) {
  for (int format : {1, 2}) {
    Builder b(format);
    for (int i = 0; i < 16; ++i) b.op(OP_NOOP);
    b.op(0x19);
    if (format == 2) {
      b.procedure("p", 0, 0, 0);
      b.action("main", 0);
    }
    const auto o = run(b.build());
    EXPECT_EQ(o.result, 21);
    EXPECT_EQ(o.error_address, 16);
  }
}

TEST(Loop, IllegalOpcodesOfEveryOperandCountAreRefusedAfterTheirOperands) {
  for (uint8_t opcode : {0x28, 0x46, 0x81, 0xC1, 0xFF}) {
    Builder b(1);
    b.op(OP_NOOP);
    const int operands = opcode >> 6;
    const uint32_t at = b.op(opcode);
    for (int k = 0; k < operands; ++k) b.raw({0, 0, 0, 0});
    b.op(OP_NOOP);
    const auto o = run(b.build());
    EXPECT_EQ(o.result, 21) << int(opcode);
    EXPECT_EQ(o.error_address, at) << int(opcode);
  }
}

TEST(Loop, ExportOfBooleanArrayIsIllegalInFormat1OnceThreeValuesArePresent) {
  Builder b(1);
  b.push({0, 0});
  b.op(OP_EXPORT_BOOL_ARRAY, 0);
  EXPECT_EQ(run(b.build()).result, 20);
  Builder c(1);
  c.push({0, 0, 0});
  const uint32_t at = c.op(OP_EXPORT_BOOL_ARRAY, 0);
  const auto o = run(c.build());
  EXPECT_EQ(o.result, 21);
  EXPECT_EQ(o.error_address, at);
}

TEST(Loop, OneHundredTwentySevenValuesFitAndTheNextPushFails) {
  Builder b(1);
  for (int i = 0; i < 127; ++i) b.op(OP_PUSH_ZERO);
  b.push({9});
  b.op(OP_DROP);
  b.op(OP_EXIT);
  const auto fits = run(b.build());
  EXPECT_EQ(fits.result, 20);
  EXPECT_EQ(fits.error_address, 127);  // the 128th push

  Builder c(1);
  for (int i = 0; i < 126; ++i) c.op(OP_PUSH_ZERO);
  c.push({9});
  c.op(OP_EXIT);
  const auto ok = run(c.build());
  EXPECT_EQ(ok.result, 0);
  EXPECT_EQ(ok.exit_code, 9);
}

TEST(Loop, TooFewValuesGives20AtThatInstruction) {
  Builder b(1);
  b.push({1});
  const uint32_t at = b.op(OP_ADD);
  const auto o = run(b.build());
  EXPECT_EQ(o.result, 20);
  EXPECT_EQ(o.error_address, at);
}

TEST(Loop, RunningOffTheEndOfTheCodeGives11) {
  Builder b(1);
  b.op(OP_NOOP);
  const auto o = run(b.build());
  EXPECT_EQ(o.result, 11);
  EXPECT_EQ(o.error_address, 1);

  Builder c(1);
  c.op(OP_NOOP);
  c.raw({OP_PUSH_LITERAL, 0, 0});  // operand cut by the end of the code
  const auto cut = run(c.build());
  EXPECT_EQ(cut.result, 11);
  EXPECT_EQ(cut.error_address, 1);
}

TEST(Loop, InstructionLimitCancelsAnEndlessProgram) {
  Builder b(1);
  b.op(OP_JUMP, 0);
  jbi_instruction_limit = 1000;
  const auto o = run(b.build());
  jbi_instruction_limit = 0;
  EXPECT_EQ(o.result, 19);
  EXPECT_EQ(o.error_address, 0);
}

// ---- memory ----

// A program that allocates at start-up (arrays, an unpacked array), makes a private copy,
// resizes, scans reversed and exports unaligned: every allocation failure point, one by one,
// must end the run with 1 and leave no block behind.
std::vector<uint8_t> allocating_program() {
  Builder b(2);
  const uint32_t bools = b.bool_array("B", 40);
  const uint32_t ints = b.int_array("I", 4);
  const uint32_t init = b.bool_array_init("F", 16, {0xA5, 0x5A});
  b.bool_array_packed("P", {0x0D, 0x00, 0x00, 0x00, 0xC2, 0xC4, 0xC6, 0x9E, 0x00, 0x0B});
  const uint32_t key = b.string("K");
  const uint32_t code = b.here();
  b.push({1, 0, 3});
  b.op(OP_STORE_BOOL_RANGE, init);  // private copy of F
  b.push({64});
  b.op(OP_RESIZE_ARRAY, ints);
  b.push({8, 0, 7});
  b.op(OP_DRSCAN_ARRAY, bools);  // count 8, a=7 > b=0: reversed scan
  b.push({10, 3, static_cast<int32_t>(bools)});
  b.op(OP_EXPORT_BOOL_ARRAY, key);  // unaligned export
  b.push({0});
  b.op(OP_EXIT);
  b.procedure("p", 0, 0, code);
  b.action("main", 0);
  return b.build();
}

TEST(Memory, EveryAllocationFailureEndsWith1AndReleasesEverything) {
  const auto image = allocating_program();
  const auto full = run(image);
  ASSERT_EQ(full.result, 0) << full.result;
  ASSERT_EQ(full.live_blocks, 0);
  int failures_seen = 0;
  for (long budget = 0; budget < 40; ++budget) {
    jbi_malloc_budget = budget;
    const auto o = run(image);
    jbi_malloc_budget = -1;
    EXPECT_EQ(o.live_blocks, 0) << "budget " << budget;
    if (o.result == 0) break;
    EXPECT_EQ(o.result, 1) << "budget " << budget;
    ++failures_seen;
  }
  EXPECT_GE(failures_seen, 8);  // tables, four arrays, copy, resize, scan buffers, export copy
}

TEST(Memory, FailedRunsReleaseEverything) {
  Builder b(2);
  b.bool_array("B", 100);
  b.int_array("I", 10);
  const uint32_t code = b.here();
  b.push({1});
  b.op(OP_ADD);  // too few values
  b.procedure("p", 0, 0, code);
  b.action("main", 0);
  const auto o = run(b.build());
  EXPECT_EQ(o.result, 20);
  EXPECT_EQ(o.live_blocks, 0);
}

TEST(Memory, HugeArraySizesAreRefusedAsOutOfMemory) {
  Builder b(1);
  b.symbol(playertest::bytecode::kIntArray, "HUGE", 0, 0x7FFFFFFF);
  b.op(OP_PUSH_ZERO);
  b.op(OP_EXIT);
  const auto o = run(b.build());
  EXPECT_EQ(o.result, 1);
  EXPECT_EQ(o.live_blocks, 0);
}

}  // namespace
