// Stack, arithmetic, control flow, variable and array instructions. Most programs end with
// OP_EXIT so that the exit code carries the value under test.
#include <gtest/gtest.h>

#include <vector>

#include "stapl/src/jbiopcodes.h"
#include "stapl/src/tests/core_run.h"
#include "stapl/src/tests/support/bytecode_builder.h"

namespace {

using playertest::bytecode::Builder;
using playertest::run::Outcome;
using playertest::run::run;

// Wraps format 2 code in one procedure of the action "main".
std::vector<uint8_t> finish(Builder &b) {
  b.procedure("p", 0, 0, 0);
  b.action("main", 0);
  return b.build();
}

// Result of `second OP top` in a format 1 program.
Outcome binary(uint8_t opcode, int32_t second, int32_t top) {
  Builder b(1);
  b.push({second, top});
  b.op(opcode);
  b.op(OP_EXIT);
  return run(b.build());
}

int32_t value_of(uint8_t opcode, int32_t second, int32_t top) {
  const Outcome o = binary(opcode, second, top);
  EXPECT_EQ(o.result, 0);
  return o.exit_code;
}

int32_t unary(uint8_t opcode, int32_t top) {
  Builder b(1);
  b.push({top});
  b.op(opcode);
  b.op(OP_EXIT);
  const Outcome o = run(b.build());
  EXPECT_EQ(o.result, 0);
  return o.exit_code;
}

TEST(Arithmetic, EdgeValues) {
  EXPECT_EQ(value_of(OP_SUBTRACT, 5, 7), -2);
  EXPECT_EQ(value_of(OP_ADD, INT32_MAX, 1), INT32_MIN);
  EXPECT_EQ(value_of(OP_MULTIPLY, 0x10000, 0x10001), 0x10000);
  EXPECT_EQ(value_of(OP_DIVIDE, -7, 2), -3);
  EXPECT_EQ(value_of(OP_REMAINDER, -7, 2), -1);
  EXPECT_EQ(value_of(OP_DIVIDE, INT32_MIN, -1), INT32_MIN);
  EXPECT_EQ(value_of(OP_REMAINDER, INT32_MIN, -1), 0);
  EXPECT_EQ(value_of(OP_SHIFT_RIGHT, -8, 1), -4);
  EXPECT_EQ(value_of(OP_SHIFT_LEFT, 1, 33), 2);
  EXPECT_EQ(value_of(OP_SHIFT_LEFT, 1, 31), INT32_MIN);
  EXPECT_EQ(value_of(OP_BIT_AND, 0x0C, 0x0A), 0x08);
  EXPECT_EQ(value_of(OP_BIT_OR, 0x0C, 0x0A), 0x0E);
  EXPECT_EQ(value_of(OP_BIT_XOR, 0x0C, 0x0A), 0x06);
  EXPECT_EQ(value_of(OP_GREATER, -1, 0), 0);
  EXPECT_EQ(value_of(OP_LESS, -1, 0), 1);
  EXPECT_EQ(value_of(OP_EQUAL, 4, 4), 1);
  EXPECT_EQ(unary(OP_LOGICAL_NOT, 5), 0);
  EXPECT_EQ(unary(OP_LOGICAL_NOT, 0), 1);
  EXPECT_EQ(unary(OP_BIT_NOT, 0), -1);
  EXPECT_EQ(unary(OP_ABSOLUTE, -9), 9);
  EXPECT_EQ(unary(OP_ABSOLUTE, INT32_MIN), INT32_MIN);
}

TEST(Arithmetic, DivisionByZeroGives8) {
  EXPECT_EQ(binary(OP_DIVIDE, 1, 0).result, 8);
  const Outcome o = binary(OP_REMAINDER, 1, 0);
  EXPECT_EQ(o.result, 8);
  EXPECT_EQ(o.error_address, 10);
}

TEST(Arithmetic, CompareMaskedUsesOnlyTheLowNBitsOfTheMask) {
  auto masked = [](int32_t n, int32_t m, int32_t b, int32_t a) {
    Builder bb(1);
    bb.push({n, m, b, a});
    bb.op(OP_COMPARE_MASKED);
    bb.op(OP_EXIT);
    return run(bb.build());
  };
  EXPECT_EQ(masked(4, 0xFF, 0x22, 0x12).exit_code, 1);
  EXPECT_EQ(masked(8, 0xFF, 0x22, 0x12).exit_code, 0);
  EXPECT_EQ(masked(32, -1, 5, 5).exit_code, 1);
  EXPECT_EQ(masked(0, 0xFF, 1, 1).result, 11);
  EXPECT_EQ(masked(33, 0xFF, 1, 1).result, 11);
}

TEST(StackInstructions, DeepSwapDeepDuplicateAndBatch) {
  Builder b(1);
  b.push({1, 2, 3});
  b.op(OP_SWAP_DEEP, 2);       // 3 2 1
  b.op(OP_DUPLICATE_DEEP, 1);  // 3 2 1 2
  b.op(OP_ADD);                // 3 2 3
  b.op(OP_MULTIPLY);           // 3 6
  b.op(OP_SUBTRACT);           // -3
  b.op(OP_EXIT);
  EXPECT_EQ(run(b.build()).exit_code, -3);

  // Nine values 1..9 (9 on top); the batch leaves 1 8 9 4 5 6 7 1 2 3 4 5 (5 on top).
  // Folding from the top as below + 3 * above makes the result depend on every position.
  Builder c(1);
  c.push({1, 2, 3, 4, 5, 6, 7, 8, 9});
  c.op(OP_STACK_BATCH);
  for (int i = 0; i < 11; ++i) {
    c.push({3});
    c.op(OP_MULTIPLY);
    c.op(OP_ADD);
  }
  c.op(OP_EXIT);
  const Outcome batch = run(c.build());
  EXPECT_EQ(batch.result, 0);
  EXPECT_EQ(batch.exit_code, 1203469);
}

TEST(StackInstructions, BatchOnAShallowStackFailsWith20) {
  Builder b(1);
  b.push({1, 2, 3});
  const uint32_t at = b.op(OP_STACK_BATCH);
  const Outcome o = run(b.build());
  EXPECT_EQ(o.result, 20);
  EXPECT_EQ(o.error_address, at);
}

TEST(Control, CallReturnsToTheInstructionAfterTheCallInBothFormats) {
  for (int format : {1, 2}) {
    Builder b(format);
    const uint32_t call = b.op(OP_CALL, 0);
    b.push({7});
    b.op(OP_ADD);
    b.op(OP_EXIT);
    const uint32_t sub = b.here();
    b.push({0});  // below the return offset: swap it up, push, swap back
    b.op(OP_SWAP);
    b.op(OP_RETURN);
    b.patch(call, 0, sub);
    const Outcome o = run(format == 1 ? b.build() : finish(b));
    EXPECT_EQ(o.result, 0) << format;
    EXPECT_EQ(o.exit_code, 7) << format;
  }
}

TEST(Control, ReturnToOffsetZeroOrOutsideTheCodeGives11) {
  Builder b(1);
  b.push({0});
  const uint32_t at = b.op(OP_RETURN);
  const Outcome o = run(b.build());
  EXPECT_EQ(o.result, 11);
  EXPECT_EQ(o.error_address, at);
  Builder c(1);
  c.op(OP_RETURN);
  EXPECT_EQ(run(c.build()).result, 20);  // format 1 with an empty stack
}

TEST(Control, JumpsOutsideTheCodeGive11) {
  Builder b(1);
  b.op(OP_NOOP);
  const uint32_t at = b.op(OP_JUMP, 1000);
  const Outcome o = run(b.build());
  EXPECT_EQ(o.result, 11);
  EXPECT_EQ(o.error_address, at);
  Builder c(1);
  c.push({0});
  c.op(OP_JUMP_IF_ZERO, 0xFFFFFFFF);  // wraps below the code
  EXPECT_EQ(run(c.build()).result, 11);
}

TEST(Control, ExitTakesTheTopValueAndExitWithEmptyStackGives20) {
  Builder b(2);
  b.push({9, 3});
  b.op(OP_EXIT);
  const Outcome o = run(finish(b));
  EXPECT_EQ(o.result, 0);
  EXPECT_EQ(o.exit_code, 3);
  Builder c(1);
  c.op(OP_EXIT);
  const Outcome empty = run(c.build());
  EXPECT_EQ(empty.result, 20);
  EXPECT_EQ(empty.exit_code, playertest::run::kUnwrittenExit);
}

// Loop from `from` to `to` by `step`, summing v * 10^k digits so the order is visible.
int32_t loop_trace(int32_t from, int32_t to, int32_t step) {
  Builder b(1);
  const uint32_t v = b.scalar("V");
  const uint32_t acc = b.scalar("ACC", 0);
  b.push({from});
  b.op(OP_STORE_VARIABLE, v);
  const uint32_t body_push = b.op(OP_PUSH_LITERAL, 0);
  b.push({to, step});
  const uint32_t body = b.here();
  b.op(OP_PUSH_VARIABLE, acc);
  b.push({10});
  b.op(OP_MULTIPLY);
  b.op(OP_PUSH_VARIABLE, v);
  b.op(OP_ADD);
  b.op(OP_STORE_VARIABLE, acc);
  b.op(OP_LOOP_NEXT, v);
  b.op(OP_PUSH_VARIABLE, acc);
  b.op(OP_EXIT);
  b.patch(body_push, 0, body);
  const Outcome o = run(b.build());
  EXPECT_EQ(o.result, 0);
  return o.exit_code;
}

TEST(Control, CountedLoopsRunUpAndDown) {
  EXPECT_EQ(loop_trace(1, 3, 1), 123);
  EXPECT_EQ(loop_trace(3, 1, -1), 321);
  EXPECT_EQ(loop_trace(2, 2, 1), 2);  // the body runs once before the test
}

TEST(Variables, ScalarInstructionsRefuseArraySymbolsAndUnknownIndexes) {
  Builder b(1);
  const uint32_t arr = b.int_array("A", 4);
  b.op(OP_PUSH_VARIABLE, arr);
  EXPECT_EQ(run(b.build()).result, 11);
  Builder c(1);
  c.int_array("A", 4);
  c.push({1});
  c.op(OP_STORE_VARIABLE, 0);
  EXPECT_EQ(run(c.build()).result, 11);
  Builder d(1);
  d.op(OP_PUSH_VARIABLE, 5);  // no symbol 5
  EXPECT_EQ(run(d.build()).result, 11);
}

// ---- arrays ----

TEST(Arrays, IntegerArrayInTheFileIsReadInPlaceThenFromItsCopy) {
  Builder b(2);
  const uint32_t a = b.int_array_init("A", {100, -200, 300});
  b.push({1});
  b.op(OP_PUSH_INT_ELEMENT, a);  // -200 from the file
  b.push({55, 2});
  b.op(OP_STORE_INT_ELEMENT, a);  // element 2 = 55, in the copy
  b.push({2});
  b.op(OP_PUSH_INT_ELEMENT, a);
  b.op(OP_ADD);
  b.op(OP_EXIT);
  const auto image = finish(b);
  const auto before = image;
  const Outcome o = run(image);
  EXPECT_EQ(o.result, 0);
  EXPECT_EQ(o.exit_code, -145);
  EXPECT_EQ(image, before);
  EXPECT_EQ(o.live_blocks, 0);
}

TEST(Arrays, ElementIndexesOutsideTheArrayGive11) {
  for (int32_t index : {-1, 4}) {
    Builder b(1);
    const uint32_t a = b.int_array("A", 4);
    b.push({7, index});
    b.op(OP_STORE_INT_ELEMENT, a);
    EXPECT_EQ(run(b.build()).result, 11) << index;
    Builder c(1);
    const uint32_t f = c.int_array_init("F", {1, 2, 3, 4});
    c.push({index});
    c.op(OP_PUSH_INT_ELEMENT, f);
    EXPECT_EQ(run(c.build()).result, 11) << index;
  }
}

TEST(Arrays, Format1ArraysWithInitialDataCannotBeWritten) {
  Builder b(1);
  const uint32_t f = b.bool_array_init("F", 8, {0xFF});
  b.push({0, 0, 1});
  b.op(OP_STORE_BOOL_RANGE, f);
  EXPECT_EQ(run(b.build()).result, 11);
}

TEST(Arrays, BooleanStoreIntoFileDataMakesAPrivateCopyAndLeavesTheImage) {
  Builder b(2);
  const uint32_t f = b.bool_array_init("F", 16, {0xA0, 0x0F});
  b.push({0x5, 0, 3});  // bits 0..3 = 0101
  b.op(OP_STORE_BOOL_RANGE, f);
  b.push({0, 11});
  b.op(OP_PUSH_BOOL_RANGE, f);
  b.op(OP_EXIT);
  const auto image = finish(b);
  const auto before = image;
  const Outcome o = run(image);
  EXPECT_EQ(o.result, 0);
  EXPECT_EQ(o.exit_code, 0xFA5);
  EXPECT_EQ(image, before);
}

TEST(Arrays, BooleanRangeReadFormat2StartAndEnd) {
  Builder b(2);
  const uint32_t f = b.bool_array_init("F", 16, {0xA0, 0x0F});
  b.push({4, 11});
  b.op(OP_PUSH_BOOL_RANGE, f);
  b.op(OP_EXIT);
  EXPECT_EQ(run(finish(b)).exit_code, 0xFA);
  Builder c(2);
  const uint32_t g = c.bool_array_init("F", 16, {0xA0, 0x0F});
  c.push({11, 4});
  c.op(OP_PUSH_BOOL_RANGE, g);
  EXPECT_EQ(run(finish(c)).result, 11);
  Builder d(2);
  const uint32_t h = d.bool_array_init("F", 16, {0xA0, 0x0F});
  d.push({8, 16});  // one past the end
  d.op(OP_PUSH_BOOL_RANGE, h);
  EXPECT_EQ(run(finish(d)).result, 11);
}

TEST(Arrays, ResizeNeverShrinksAndGrowsToZeros) {
  Builder b(1);
  const uint32_t a = b.int_array("A", 2);
  b.push({9, 1});
  b.op(OP_STORE_INT_ELEMENT, a);
  b.push({1});
  b.op(OP_RESIZE_ARRAY, a);  // smaller: unchanged
  b.push({1});
  b.op(OP_PUSH_INT_ELEMENT, a);
  b.push({10});
  b.op(OP_RESIZE_ARRAY, a);  // larger: all zeros
  b.push({1});
  b.op(OP_PUSH_INT_ELEMENT, a);
  b.push({9});
  b.op(OP_PUSH_INT_ELEMENT, a);
  b.op(OP_ADD);
  b.op(OP_ADD);
  b.op(OP_EXIT);
  const Outcome o = run(b.build());
  EXPECT_EQ(o.result, 0);
  EXPECT_EQ(o.exit_code, 9);
  EXPECT_EQ(o.live_blocks, 0);
}

TEST(Arrays, ResizedFileArrayIsReadFromItsNewStorage) {
  Builder b(1);
  const uint32_t f = b.int_array_init("F", {5, 6});
  b.push({100});
  b.op(OP_RESIZE_ARRAY, f);
  b.push({99});
  b.op(OP_PUSH_INT_ELEMENT, f);  // inside the new size, never past the file's data
  b.op(OP_EXIT);
  const Outcome o = run(b.build());
  EXPECT_EQ(o.result, 0);
  EXPECT_EQ(o.exit_code, 0);
}

// Copies 8 bits of the source (bytes 0xB1 0x00) under the format 2 ranges, then reads 16 bits
// of the destination.
Outcome copy_bits(int32_t s1, int32_t s2, int32_t d1, int32_t d2) {
  Builder b(2);
  const uint32_t src = b.bool_array_init("S", 16, {0xB1, 0x00});
  const uint32_t dst = b.bool_array("D", 16);
  b.push({d2, d1, s2, s1});
  b.op(OP_COPY_BOOL_RANGE, src, dst);
  b.push({0, 15});
  b.op(OP_PUSH_BOOL_RANGE, dst);
  b.op(OP_EXIT);
  return run(finish(b));
}

TEST(Arrays, CopyReversesWhenExactlyOneRangeRunsDownward) {
  EXPECT_EQ(copy_bits(0, 7, 0, 7).exit_code, 0xB1);
  EXPECT_EQ(copy_bits(0, 7, 7, 0).exit_code, 0x8D);       // 1011 0001 reversed
  EXPECT_EQ(copy_bits(0, 7, 9, 2).exit_code, 0x8D << 2);  // lengths 8 and 8
  EXPECT_EQ(copy_bits(7, 0, 7, 0).exit_code, 0xB1);       // both reversed: upward
  EXPECT_EQ(copy_bits(0, 3, 5, 0).result, 11);            // lengths 4 and 6, reversed
  EXPECT_EQ(copy_bits(0, 7, 10, 17).result, 11);          // destination past its end
}

TEST(Arrays, Format1CopyTakesCountSourceAndDestinationStarts) {
  Builder b(1);
  const uint32_t src = b.bool_array_init("S", 8, {0x0F});
  const uint32_t dst = b.bool_array("D", 16);
  b.push({4, 2, 4});  // destination start 4, source start 2, count 4
  b.op(OP_COPY_BOOL_RANGE, src, dst);
  b.push({0, 16});
  b.op(OP_PUSH_BOOL_RANGE, dst);
  b.op(OP_EXIT);
  EXPECT_EQ(run(b.build()).exit_code, 0x30);
}

TEST(Arrays, CompareBooleanRangesUnderAMask) {
  auto compare = [](uint8_t a, uint8_t b, uint8_t mask, int32_t count) {
    Builder bb(1);
    const uint32_t x = bb.bool_array_init("X", 8, {a});
    const uint32_t y = bb.bool_array_init("Y", 8, {b});
    const uint32_t m = bb.bool_array_init("M", 8, {mask});
    bb.push({count, 0, 0, 0});
    bb.op(OP_COMPARE_BOOL_RANGES, x, y, m);
    bb.op(OP_EXIT);
    return run(bb.build());
  };
  EXPECT_EQ(compare(0x12, 0x22, 0x0F, 8).exit_code, 1);
  EXPECT_EQ(compare(0x12, 0x22, 0xFF, 8).exit_code, 0);
  const Outcome empty = compare(0x12, 0x12, 0xFF, 0);
  EXPECT_EQ(empty.result, 11);
  EXPECT_EQ(compare(0x12, 0x12, 0xFF, 9).result, 11);  // past the end of all three
}

TEST(Arrays, Format2CompareUsesTheShortestOfTheThreeRanges) {
  Builder b(2);
  const uint32_t x = b.bool_array_init("X", 8, {0x0F});
  const uint32_t y = b.bool_array_init("Y", 8, {0x1F});
  const uint32_t m = b.bool_array_init("M", 8, {0xFF});
  b.push({7, 0, 3, 0, 7, 0});  // mask 0..7, Y 0..3, X 0..7: length 4
  b.op(OP_COMPARE_BOOL_RANGES, x, y, m);
  b.op(OP_EXIT);
  EXPECT_EQ(run(finish(b)).exit_code, 1);
}

}  // namespace
