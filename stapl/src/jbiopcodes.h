// The instruction set of the byte-code machine.
//
// Instruction formats (all operands are 32-bit words, big-endian, unaligned):
//
//     +--------+
//     | opcode |                                        0x00..0x3F   no operand
//     +--------+--------+
//     | opcode |  a0    |                               0x40..0x7F   one operand
//     +--------+--------+--------+
//     | opcode |  a0    |  a1    |                      0x80..0xBF   two operands
//     +--------+--------+--------+--------+
//     | opcode |  a0    |  a1    |  a2    |             0xC0..0xFF   three operands
//     +--------+--------+--------+--------+
//
// The two top bits of the opcode are the operand count, so operands are read before the opcode
// is decoded, also for an illegal opcode. An opcode not listed below is illegal (result 21).
//
// Notation in the comments: T = top of stack, S = second, U = third; V[a] is variables[a];
// code offsets are counted from the start of the code section. "f1/f2" gives what differs
// between the "Jam 1.1" (format 1) and "Jam STAPL" (format 2) byte-code. A range s..e in
// format 2 is given by its first and last element; in format 1 by its first element and count.
#pragma once

#include <cstdint>

// Keep this list, jbi_opcode_table (below) and the dispatch loop's jump table
// (jbimain_dispatch.cpp) in the same order: ascending opcode value. The compiler checks the
// table's order, and that the jump table lists exactly the table's opcodes.
enum JbiOpcode : uint8_t {
  // ---- no operand -------------------------------------------------------------------------
  OP_NOOP = 0x00,         // nothing
  OP_DUPLICATE = 0x01,    // push T
  OP_SWAP = 0x02,         // T <-> S
  OP_ADD = 0x03,          // S + T (wraps)
  OP_SUBTRACT = 0x04,     // S - T (wraps)
  OP_MULTIPLY = 0x05,     // S * T, low 32 bits
  OP_DIVIDE = 0x06,       // S / T toward zero; T = 0: result 8
  OP_REMAINDER = 0x07,    // S % T, sign of S; T = 0: result 8
  OP_SHIFT_LEFT = 0x08,   // S << (T mod 32)
  OP_SHIFT_RIGHT = 0x09,  // S >> (T mod 32), arithmetic
  OP_BIT_NOT = 0x0A,      // T = ~T
  OP_BIT_AND = 0x0B,      // S & T
  OP_BIT_OR = 0x0C,       // S | T
  OP_BIT_XOR = 0x0D,      // S ^ T
  OP_LOGICAL_NOT = 0x0E,  // T = (T == 0)
  OP_GREATER = 0x0F,      // S > T, signed
  OP_LESS = 0x10,         // S < T, signed
  OP_RETURN = 0x11,       // pc = T (return offset); f2 with empty stack: procedure ends
  OP_COMPARE_MASKED =
      0x12,  // pop a, b, m; 4th n (1..32) := (a & m') == (b & m'), m' = low n bits of m
  OP_PRINT_INTEGER = 0x13,         // append decimal text of popped value to the message
  OP_PRINT_FLUSH = 0x14,           // print the message as one line, empty it
  OP_DRSCAN_VALUE = 0x15,          // DR scan of S bits (<= 32) of value T; both popped
  OP_DRSCAN_VALUE_CAPTURE = 0x16,  // as DRSCAN_VALUE; S is replaced by the captured bits
  OP_IRSCAN_VALUE = 0x17,          // IR scan of S bits of value T; both popped
  OP_IRSCAN_VALUE_CAPTURE = 0x18,  // as IRSCAN_VALUE; S is replaced by the captured bits
  OP_DR_PREAMBLE = 0x1C,           // DR preamble of T one-bits
  OP_DR_PREAMBLE_VALUE = 0x1D,     // DR preamble of S bits (<= 32) of value T
  OP_DR_POSTAMBLE = 0x1E,          // DR postamble of T one-bits
  OP_DR_POSTAMBLE_VALUE = 0x1F,    // DR postamble of S bits of value T
  OP_IR_PREAMBLE = 0x20,           // IR preamble of T one-bits
  OP_IR_PREAMBLE_VALUE = 0x21,     // IR preamble of S bits of value T
  OP_IR_POSTAMBLE = 0x22,          // IR postamble of T one-bits
  OP_IR_POSTAMBLE_VALUE = 0x23,    // IR postamble of S bits of value T
  OP_PRINT_CHAR = 0x24,            // append low byte of popped value (0 or >= 128 become 127)
  OP_EXIT = 0x25,                  // exit_code = popped value; run ends with 0
  OP_EQUAL = 0x26,                 // S == T
  OP_DROP = 0x27,                  // pop
  OP_ABSOLUTE = 0x2C,              // T = |T| (most negative value unchanged)
  OP_STACK_BATCH = 0x2D,           // nine fixed swaps and copies; stack ends three deeper
  OP_PUSH_ZERO = 0x2F,             // push 0

  // ---- one operand a0 ---------------------------------------------------------------------
  OP_PUSH_LITERAL = 0x40,   // push a0
  OP_PUSH_VARIABLE = 0x41,  // push V[a0] (a scalar)
  OP_JUMP = 0x42,           // pc = a0
  OP_CALL = 0x43,           // push offset of next instruction; pc = a0
  OP_LOOP_NEXT =
      0x44,  // loop var V[a0]; T step, S end, U body: step V[a0] and jump, or pop all three
  OP_PRINT_STRING = 0x45,       // append string a0 of the string table
  OP_MOVE_STATE = 0x47,         // go to TAP state a0
  OP_GOTO_STATE = 0x48,         // go to TAP state a0 (same as MOVE_STATE)
  OP_IRSTOP = 0x49,             // TAP state after IR scans = a0
  OP_DRSTOP = 0x4A,             // TAP state after DR scans = a0
  OP_SWAP_DEEP = 0x4B,          // T <-> value at depth a0 + 1
  OP_DUPLICATE_DEEP = 0x4C,     // push value at depth a0 + 1
  OP_STORE_VARIABLE = 0x4D,     // V[a0] = pop (a scalar)
  OP_STORE_INT_ELEMENT = 0x4E,  // V[a0][T] = S; both popped
  OP_STORE_BOOL_RANGE = 0x4F,   // bits of U into V[a0] range (S, T); all popped
  OP_JUMP_IF_ZERO = 0x50,       // pop; if 0, pc = a0
  OP_DRSCAN_ARRAY =
      0x51,  // f1: DR scan of S bits of V[a0] from T; f2: U bits, range T..S (reversed if T > S)
  OP_IRSCAN_ARRAY = 0x52,        // as DRSCAN_ARRAY, instruction register
  OP_DR_PREAMBLE_ARRAY = 0x53,   // DR preamble from V[a0], range (T, S)
  OP_DR_POSTAMBLE_ARRAY = 0x54,  // DR postamble from V[a0], range (T, S)
  OP_IR_PREAMBLE_ARRAY = 0x55,   // IR preamble from V[a0], range (T, S)
  OP_IR_POSTAMBLE_ARRAY = 0x56,  // IR postamble from V[a0], range (T, S)
  OP_EXPORT_INTEGER = 0x57,      // export popped value under key string a0
  OP_PUSH_INT_ELEMENT = 0x58,    // T = V[a0][T]
  OP_PUSH_BOOL_RANGE = 0x59,     // range (S, T) of V[a0] as an integer (1..32 bits); net one pop
  OP_RESIZE_ARRAY = 0x5A,        // grow V[a0] to popped size, zero-filled; never shrinks
  OP_EXPORT_BOOL_ARRAY = 0x5C,   // f2 only: export V[T] range S..U under key string a0

  // ---- two operands a0, a1 ----------------------------------------------------------------
  OP_COPY_BOOL_RANGE =
      0x80,  // copy bits V[a0] -> V[a1]; f1: T count, S src, U dst; f2: 4 ends, reversal
  OP_DRSCAN_ARRAY_CAPTURE = 0x82,  // DR scan from V[a0], shifted-out bits into V[a1]
  OP_IRSCAN_ARRAY_CAPTURE = 0x83,  // IR scan from V[a0], shifted-out bits into V[a1]
  OP_WAIT = 0x84,  // wait T cycles, S microseconds in state a0, then go to a1; f2 drops 2 more

  // ---- three operands a0, a1, a2 ----------------------------------------------------------
  OP_COMPARE_BOOL_RANGES = 0xC0,  // push 1 if V[a0] and V[a1] agree where mask V[a2] is 1, else 0
};

// Operand count of any opcode byte, legal or not.
constexpr int jbi_operand_count(unsigned opcode) { return static_cast<int>((opcode >> 6) & 3); }

// What an operand word means, so that the assembler and the disassembler treat it alike.
enum JbiOperandKind : uint8_t {
  JBI_OPND_NONE = 0,  // no operand in this slot
  JBI_OPND_NUMBER,    // a plain number (literal, stack depth)
  JBI_OPND_VARIABLE,  // symbol index
  JBI_OPND_CODE,      // offset from the start of the code section
  JBI_OPND_STRING,    // offset from the start of the string table
  JBI_OPND_STATE,     // TAP state number (0 RESET .. 15 IRUPDATE)
};

// One row per legal opcode, in the order of JbiOpcode.
struct JbiOpcodeInfo {
  uint8_t code;
  const char *name;        // mnemonic without the OP_ prefix, as `stapl asm`/`info` write it
  uint8_t operands;        // equals jbi_operand_count(code)
  JbiOperandKind kind[3];  // kind of each operand; JBI_OPND_NONE past `operands`
};

// The table is in this header so that the dispatch loop (jbimain_dispatch.cpp) can check its
// jump table against it at compile time; the namespace keeps the short operand kinds out of
// every includer.
namespace jbi_opcode_rows {

constexpr JbiOperandKind N = JBI_OPND_NUMBER;
constexpr JbiOperandKind V = JBI_OPND_VARIABLE;
constexpr JbiOperandKind C = JBI_OPND_CODE;
constexpr JbiOperandKind S = JBI_OPND_STRING;
constexpr JbiOperandKind T = JBI_OPND_STATE;

// clang-format off
#define JBI_ROW(op, name, ...) \
  {op, name, static_cast<uint8_t>(jbi_operand_count(op)), {__VA_ARGS__}}
// clang-format on
// Same order as JbiOpcode: ascending opcode value.
inline constexpr JbiOpcodeInfo jbi_opcode_table[] = {
    JBI_ROW(OP_NOOP, "NOOP"),
    JBI_ROW(OP_DUPLICATE, "DUPLICATE"),
    JBI_ROW(OP_SWAP, "SWAP"),
    JBI_ROW(OP_ADD, "ADD"),
    JBI_ROW(OP_SUBTRACT, "SUBTRACT"),
    JBI_ROW(OP_MULTIPLY, "MULTIPLY"),
    JBI_ROW(OP_DIVIDE, "DIVIDE"),
    JBI_ROW(OP_REMAINDER, "REMAINDER"),
    JBI_ROW(OP_SHIFT_LEFT, "SHIFT_LEFT"),
    JBI_ROW(OP_SHIFT_RIGHT, "SHIFT_RIGHT"),
    JBI_ROW(OP_BIT_NOT, "BIT_NOT"),
    JBI_ROW(OP_BIT_AND, "BIT_AND"),
    JBI_ROW(OP_BIT_OR, "BIT_OR"),
    JBI_ROW(OP_BIT_XOR, "BIT_XOR"),
    JBI_ROW(OP_LOGICAL_NOT, "LOGICAL_NOT"),
    JBI_ROW(OP_GREATER, "GREATER"),
    JBI_ROW(OP_LESS, "LESS"),
    JBI_ROW(OP_RETURN, "RETURN"),
    JBI_ROW(OP_COMPARE_MASKED, "COMPARE_MASKED"),
    JBI_ROW(OP_PRINT_INTEGER, "PRINT_INTEGER"),
    JBI_ROW(OP_PRINT_FLUSH, "PRINT_FLUSH"),
    JBI_ROW(OP_DRSCAN_VALUE, "DRSCAN_VALUE"),
    JBI_ROW(OP_DRSCAN_VALUE_CAPTURE, "DRSCAN_VALUE_CAPTURE"),
    JBI_ROW(OP_IRSCAN_VALUE, "IRSCAN_VALUE"),
    JBI_ROW(OP_IRSCAN_VALUE_CAPTURE, "IRSCAN_VALUE_CAPTURE"),
    JBI_ROW(OP_DR_PREAMBLE, "DR_PREAMBLE"),
    JBI_ROW(OP_DR_PREAMBLE_VALUE, "DR_PREAMBLE_VALUE"),
    JBI_ROW(OP_DR_POSTAMBLE, "DR_POSTAMBLE"),
    JBI_ROW(OP_DR_POSTAMBLE_VALUE, "DR_POSTAMBLE_VALUE"),
    JBI_ROW(OP_IR_PREAMBLE, "IR_PREAMBLE"),
    JBI_ROW(OP_IR_PREAMBLE_VALUE, "IR_PREAMBLE_VALUE"),
    JBI_ROW(OP_IR_POSTAMBLE, "IR_POSTAMBLE"),
    JBI_ROW(OP_IR_POSTAMBLE_VALUE, "IR_POSTAMBLE_VALUE"),
    JBI_ROW(OP_PRINT_CHAR, "PRINT_CHAR"),
    JBI_ROW(OP_EXIT, "EXIT"),
    JBI_ROW(OP_EQUAL, "EQUAL"),
    JBI_ROW(OP_DROP, "DROP"),
    JBI_ROW(OP_ABSOLUTE, "ABSOLUTE"),
    JBI_ROW(OP_STACK_BATCH, "STACK_BATCH"),
    JBI_ROW(OP_PUSH_ZERO, "PUSH_ZERO"),
    JBI_ROW(OP_PUSH_LITERAL, "PUSH_LITERAL", N),
    JBI_ROW(OP_PUSH_VARIABLE, "PUSH_VARIABLE", V),
    JBI_ROW(OP_JUMP, "JUMP", C),
    JBI_ROW(OP_CALL, "CALL", C),
    JBI_ROW(OP_LOOP_NEXT, "LOOP_NEXT", V),
    JBI_ROW(OP_PRINT_STRING, "PRINT_STRING", S),
    JBI_ROW(OP_MOVE_STATE, "MOVE_STATE", T),
    JBI_ROW(OP_GOTO_STATE, "GOTO_STATE", T),
    JBI_ROW(OP_IRSTOP, "IRSTOP", T),
    JBI_ROW(OP_DRSTOP, "DRSTOP", T),
    JBI_ROW(OP_SWAP_DEEP, "SWAP_DEEP", N),
    JBI_ROW(OP_DUPLICATE_DEEP, "DUPLICATE_DEEP", N),
    JBI_ROW(OP_STORE_VARIABLE, "STORE_VARIABLE", V),
    JBI_ROW(OP_STORE_INT_ELEMENT, "STORE_INT_ELEMENT", V),
    JBI_ROW(OP_STORE_BOOL_RANGE, "STORE_BOOL_RANGE", V),
    JBI_ROW(OP_JUMP_IF_ZERO, "JUMP_IF_ZERO", C),
    JBI_ROW(OP_DRSCAN_ARRAY, "DRSCAN_ARRAY", V),
    JBI_ROW(OP_IRSCAN_ARRAY, "IRSCAN_ARRAY", V),
    JBI_ROW(OP_DR_PREAMBLE_ARRAY, "DR_PREAMBLE_ARRAY", V),
    JBI_ROW(OP_DR_POSTAMBLE_ARRAY, "DR_POSTAMBLE_ARRAY", V),
    JBI_ROW(OP_IR_PREAMBLE_ARRAY, "IR_PREAMBLE_ARRAY", V),
    JBI_ROW(OP_IR_POSTAMBLE_ARRAY, "IR_POSTAMBLE_ARRAY", V),
    JBI_ROW(OP_EXPORT_INTEGER, "EXPORT_INTEGER", S),
    JBI_ROW(OP_PUSH_INT_ELEMENT, "PUSH_INT_ELEMENT", V),
    JBI_ROW(OP_PUSH_BOOL_RANGE, "PUSH_BOOL_RANGE", V),
    JBI_ROW(OP_RESIZE_ARRAY, "RESIZE_ARRAY", V),
    JBI_ROW(OP_EXPORT_BOOL_ARRAY, "EXPORT_BOOL_ARRAY", S),
    JBI_ROW(OP_COPY_BOOL_RANGE, "COPY_BOOL_RANGE", V, V),
    JBI_ROW(OP_DRSCAN_ARRAY_CAPTURE, "DRSCAN_ARRAY_CAPTURE", V, V),
    JBI_ROW(OP_IRSCAN_ARRAY_CAPTURE, "IRSCAN_ARRAY_CAPTURE", V, V),
    JBI_ROW(OP_WAIT, "WAIT", T, T),
    JBI_ROW(OP_COMPARE_BOOL_RANGES, "COMPARE_BOOL_RANGES", V, V, V),
};
#undef JBI_ROW

}  // namespace jbi_opcode_rows

using jbi_opcode_rows::jbi_opcode_table;
inline constexpr int jbi_opcode_count =
    static_cast<int>(sizeof jbi_opcode_table / sizeof jbi_opcode_table[0]);

// Row of a legal opcode, or null for an illegal one.
const JbiOpcodeInfo *jbi_opcode_info(unsigned opcode);

// Row whose mnemonic equals `name` (case-insensitive; an "OP_" prefix is accepted), or null.
const JbiOpcodeInfo *jbi_opcode_by_name(const char *name);
