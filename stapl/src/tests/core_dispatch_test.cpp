// The fetch-decode loop's own limits, wherever the instruction sits in the code: near its end
// every instruction is checked to lie wholly inside the code, every push that would fill the
// 128th slot fails at that instruction, and the instruction limit counts each instruction.
#include <gtest/gtest.h>

#include <vector>

#include "stapl/src/jbiopcodes.h"
#include "stapl/src/tests/core_run.h"
#include "stapl/src/tests/support/bytecode_builder.h"

namespace {

using playertest::bytecode::Builder;
using playertest::run::run;

// Paddings that put the instruction under test well inside long code, at every distance
// from the end that a 13-byte instruction can have, and in code shorter than one instruction.
constexpr int kMaxPadding = 40;

// JUMP to a final PUSH_LITERAL 7 and JUMP back to EXIT: the last instruction ends exactly
// at the end of the code and must run.
TEST(Fetch, InstructionEndingExactlyAtTheEndOfTheCodeRuns) {
  for (int padding = 0; padding <= kMaxPadding; ++padding) {
    Builder b(1);
    const uint32_t jump = b.op(OP_JUMP, 0);
    const uint32_t exit = b.op(OP_EXIT);
    for (int i = 0; i < padding; ++i) b.op(OP_NOOP);
    const uint32_t tail = b.op(OP_PUSH_LITERAL, 7);
    b.op(OP_JUMP, exit);
    b.patch(jump, 0, tail);
    const auto o = run(b.build());
    EXPECT_EQ(o.result, 0) << padding;
    EXPECT_EQ(o.exit_code, 7) << padding;
  }
}

TEST(Fetch, OperandsCutByTheEndOfTheCodeGive11AtThatInstruction) {
  for (int padding = 0; padding <= kMaxPadding; ++padding) {
    for (uint8_t opcode : {OP_PUSH_LITERAL, OP_COPY_BOOL_RANGE, OP_COMPARE_BOOL_RANGES}) {
      const int operand_bytes = 4 * (opcode >> 6);
      for (int present = 0; present < operand_bytes; ++present) {
        Builder b(1);
        for (int i = 0; i < padding; ++i) b.op(OP_NOOP);
        const uint32_t at = b.here();
        std::vector<uint8_t> cut(static_cast<size_t>(present) + 1, 0);
        cut[0] = opcode;
        b.raw(cut);
        const auto o = run(b.build());
        EXPECT_EQ(o.result, 11) << padding << " " << int(opcode) << " " << present;
        EXPECT_EQ(o.error_address, at) << padding << " " << int(opcode) << " " << present;
      }
    }
  }
}

// An opcode that no instruction has is illegal whatever its operand bits say: also when the
// code ends before the operands it would read.
TEST(Fetch, IllegalOpcodeIsRefusedWith21WhetherOrNotItsOperandsFit) {
  for (int padding = 0; padding <= kMaxPadding; ++padding) {
    Builder fits(1);
    for (int i = 0; i < padding; ++i) fits.op(OP_NOOP);
    const uint32_t at = fits.op(0xC1, 1, 2, 3);
    const auto o = run(fits.build());
    EXPECT_EQ(o.result, 21) << padding;
    EXPECT_EQ(o.error_address, at) << padding;

    for (uint8_t opcode : {0x5B, 0x81, 0xC1}) {
      const int operand_bytes = 4 * (opcode >> 6);
      for (int present = 0; present < operand_bytes; ++present) {
        Builder cut(1);
        for (int i = 0; i < padding; ++i) cut.op(OP_NOOP);
        std::vector<uint8_t> bytes(static_cast<size_t>(present) + 1, 0);
        bytes[0] = opcode;
        cut.raw(bytes);
        const auto c = run(cut.build());
        EXPECT_EQ(c.result, 21) << padding << " " << int(opcode) << " " << present;
        EXPECT_EQ(c.error_address, at) << padding << " " << int(opcode) << " " << present;
      }
    }
  }
}

TEST(Fetch, RunningOffTheEndGives11AtTheEndOfTheCode) {
  for (int padding = 0; padding <= kMaxPadding; ++padding) {
    Builder b(1);
    for (int i = 0; i < padding; ++i) b.op(OP_NOOP);
    b.op(OP_PUSH_LITERAL, 1);
    const auto o = run(b.build());
    EXPECT_EQ(o.result, 11) << padding;
    EXPECT_EQ(o.error_address, padding + 5) << padding;
  }
}

// Each instruction that pushes, run on 127 values: it fails with 20 at its own address, also
// when it would jump (CALL) or only reads (DUPLICATE_DEEP, PUSH_VARIABLE).
TEST(StackDepth, EveryPushOnto127ValuesFailsWith20AtThatInstruction) {
  struct Case {
    const char *name;
    uint8_t opcode;
    uint32_t operand;
  };
  for (const Case &c :
       {Case{"PUSH_ZERO", OP_PUSH_ZERO, 0}, Case{"DUPLICATE", OP_DUPLICATE, 0},
        Case{"PUSH_LITERAL", OP_PUSH_LITERAL, 5}, Case{"PUSH_VARIABLE", OP_PUSH_VARIABLE, 0},
        Case{"DUPLICATE_DEEP", OP_DUPLICATE_DEEP, 3}, Case{"CALL", OP_CALL, 0}}) {
    for (int depth : {126, 127}) {
      Builder b(1);
      b.scalar("V", 4);
      for (int i = 0; i < depth; ++i) b.op(OP_PUSH_ZERO);
      const uint32_t at = (c.opcode >> 6) != 0 ? b.op(c.opcode, c.operand) : b.op(c.opcode);
      b.op(OP_EXIT);
      const auto o = run(b.build());
      if (depth == 127) {
        EXPECT_EQ(o.result, 20) << c.name;
        EXPECT_EQ(o.error_address, at) << c.name;
      } else if (c.opcode != OP_CALL) {
        EXPECT_EQ(o.result, 0) << c.name;  // the 127th value fits
      }
    }
  }
}

TEST(StackDepth, BatchThatGrowsTheStackPast127Gives20) {
  Builder b(1);
  for (int i = 0; i < 125; ++i) b.op(OP_PUSH_ZERO);
  const uint32_t at = b.op(OP_STACK_BATCH);  // three values deeper: 128
  b.op(OP_EXIT);
  const auto o = run(b.build());
  EXPECT_EQ(o.result, 20);
  EXPECT_EQ(o.error_address, at);
}

// A limit of n lets exactly n instructions run; the next one is refused with 19 at its own
// address. A cut instruction is refused for its place in the code before the limit counts it.
TEST(InstructionLimit, CountsEveryInstructionAndStopsAtTheNext) {
  Builder b(1);
  for (int i = 0; i < 20; ++i) b.op(OP_NOOP);
  b.push({3});
  const uint32_t exit = b.op(OP_EXIT);
  const auto image = b.build();

  jbi_instruction_limit = 22;
  const auto enough = run(image);
  jbi_instruction_limit = 21;
  const auto short_by_one = run(image);
  jbi_instruction_limit = 0;
  EXPECT_EQ(enough.result, 0);
  EXPECT_EQ(enough.exit_code, 3);
  EXPECT_EQ(short_by_one.result, 19);
  EXPECT_EQ(short_by_one.error_address, exit);

  Builder cut(1);
  cut.op(OP_NOOP);
  cut.raw({OP_JUMP, 0});
  jbi_instruction_limit = 1;
  const auto o = run(cut.build());
  jbi_instruction_limit = 0;
  EXPECT_EQ(o.result, 11);
  EXPECT_EQ(o.error_address, 1);
}

// Failures inside the instruction groups called from the loop report the group's code at the
// calling instruction, and the loop goes on after a group that succeeds.
TEST(Groups, ResultAndAddressOfACalledInstructionComeBackToTheLoop) {
  Builder b(1);
  for (int i = 0; i < 30; ++i) b.op(OP_NOOP);
  b.push({7, 2});
  b.op(OP_DIVIDE);
  b.push({0});
  const uint32_t at = b.op(OP_DIVIDE);
  b.op(OP_EXIT);
  const auto o = run(b.build());
  EXPECT_EQ(o.result, 8);
  EXPECT_EQ(o.error_address, at);

  Builder ok(1);
  ok.push({7, 2});
  ok.op(OP_DIVIDE);
  ok.op(OP_EXIT);
  const auto done = run(ok.build());
  EXPECT_EQ(done.result, 0);
  EXPECT_EQ(done.exit_code, 3);
}

}  // namespace
