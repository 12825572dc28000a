// Mnemonics and operand counts of the instruction set, for the assembler and disassembler.
#include "stapl/src/jbiopcodes.h"

#include <array>

#include "stapl/src/jbiexprt.h"

#define ROW0(op, name) {op, name, static_cast<uint8_t>(jbi_operand_count(op)), {}}
#define ROW(op, name, ...) {op, name, static_cast<uint8_t>(jbi_operand_count(op)), {__VA_ARGS__}}
// Operand kinds, short so that each row fits a line.
constexpr JbiOperandKind N = JBI_OPND_NUMBER;
constexpr JbiOperandKind V = JBI_OPND_VARIABLE;
constexpr JbiOperandKind C = JBI_OPND_CODE;
constexpr JbiOperandKind S = JBI_OPND_STRING;
constexpr JbiOperandKind T = JBI_OPND_STATE;

// Same order as JbiOpcode: ascending opcode value.
constexpr JbiOpcodeInfo jbi_opcode_table[] = {
    ROW0(OP_NOOP, "NOOP"),
    ROW0(OP_DUPLICATE, "DUPLICATE"),
    ROW0(OP_SWAP, "SWAP"),
    ROW0(OP_ADD, "ADD"),
    ROW0(OP_SUBTRACT, "SUBTRACT"),
    ROW0(OP_MULTIPLY, "MULTIPLY"),
    ROW0(OP_DIVIDE, "DIVIDE"),
    ROW0(OP_REMAINDER, "REMAINDER"),
    ROW0(OP_SHIFT_LEFT, "SHIFT_LEFT"),
    ROW0(OP_SHIFT_RIGHT, "SHIFT_RIGHT"),
    ROW0(OP_BIT_NOT, "BIT_NOT"),
    ROW0(OP_BIT_AND, "BIT_AND"),
    ROW0(OP_BIT_OR, "BIT_OR"),
    ROW0(OP_BIT_XOR, "BIT_XOR"),
    ROW0(OP_LOGICAL_NOT, "LOGICAL_NOT"),
    ROW0(OP_GREATER, "GREATER"),
    ROW0(OP_LESS, "LESS"),
    ROW0(OP_RETURN, "RETURN"),
    ROW0(OP_COMPARE_MASKED, "COMPARE_MASKED"),
    ROW0(OP_PRINT_INTEGER, "PRINT_INTEGER"),
    ROW0(OP_PRINT_FLUSH, "PRINT_FLUSH"),
    ROW0(OP_DRSCAN_VALUE, "DRSCAN_VALUE"),
    ROW0(OP_DRSCAN_VALUE_CAPTURE, "DRSCAN_VALUE_CAPTURE"),
    ROW0(OP_IRSCAN_VALUE, "IRSCAN_VALUE"),
    ROW0(OP_IRSCAN_VALUE_CAPTURE, "IRSCAN_VALUE_CAPTURE"),
    ROW0(OP_DR_PREAMBLE, "DR_PREAMBLE"),
    ROW0(OP_DR_PREAMBLE_VALUE, "DR_PREAMBLE_VALUE"),
    ROW0(OP_DR_POSTAMBLE, "DR_POSTAMBLE"),
    ROW0(OP_DR_POSTAMBLE_VALUE, "DR_POSTAMBLE_VALUE"),
    ROW0(OP_IR_PREAMBLE, "IR_PREAMBLE"),
    ROW0(OP_IR_PREAMBLE_VALUE, "IR_PREAMBLE_VALUE"),
    ROW0(OP_IR_POSTAMBLE, "IR_POSTAMBLE"),
    ROW0(OP_IR_POSTAMBLE_VALUE, "IR_POSTAMBLE_VALUE"),
    ROW0(OP_PRINT_CHAR, "PRINT_CHAR"),
    ROW0(OP_EXIT, "EXIT"),
    ROW0(OP_EQUAL, "EQUAL"),
    ROW0(OP_DROP, "DROP"),
    ROW0(OP_ABSOLUTE, "ABSOLUTE"),
    ROW0(OP_STACK_BATCH, "STACK_BATCH"),
    ROW0(OP_PUSH_ZERO, "PUSH_ZERO"),
    ROW(OP_PUSH_LITERAL, "PUSH_LITERAL", N),
    ROW(OP_PUSH_VARIABLE, "PUSH_VARIABLE", V),
    ROW(OP_JUMP, "JUMP", C),
    ROW(OP_CALL, "CALL", C),
    ROW(OP_LOOP_NEXT, "LOOP_NEXT", V),
    ROW(OP_PRINT_STRING, "PRINT_STRING", S),
    ROW(OP_MOVE_STATE, "MOVE_STATE", T),
    ROW(OP_GOTO_STATE, "GOTO_STATE", T),
    ROW(OP_IRSTOP, "IRSTOP", T),
    ROW(OP_DRSTOP, "DRSTOP", T),
    ROW(OP_SWAP_DEEP, "SWAP_DEEP", N),
    ROW(OP_DUPLICATE_DEEP, "DUPLICATE_DEEP", N),
    ROW(OP_STORE_VARIABLE, "STORE_VARIABLE", V),
    ROW(OP_STORE_INT_ELEMENT, "STORE_INT_ELEMENT", V),
    ROW(OP_STORE_BOOL_RANGE, "STORE_BOOL_RANGE", V),
    ROW(OP_JUMP_IF_ZERO, "JUMP_IF_ZERO", C),
    ROW(OP_DRSCAN_ARRAY, "DRSCAN_ARRAY", V),
    ROW(OP_IRSCAN_ARRAY, "IRSCAN_ARRAY", V),
    ROW(OP_DR_PREAMBLE_ARRAY, "DR_PREAMBLE_ARRAY", V),
    ROW(OP_DR_POSTAMBLE_ARRAY, "DR_POSTAMBLE_ARRAY", V),
    ROW(OP_IR_PREAMBLE_ARRAY, "IR_PREAMBLE_ARRAY", V),
    ROW(OP_IR_POSTAMBLE_ARRAY, "IR_POSTAMBLE_ARRAY", V),
    ROW(OP_EXPORT_INTEGER, "EXPORT_INTEGER", S),
    ROW(OP_PUSH_INT_ELEMENT, "PUSH_INT_ELEMENT", V),
    ROW(OP_PUSH_BOOL_RANGE, "PUSH_BOOL_RANGE", V),
    ROW(OP_RESIZE_ARRAY, "RESIZE_ARRAY", V),
    ROW(OP_EXPORT_BOOL_ARRAY, "EXPORT_BOOL_ARRAY", S),
    ROW(OP_COPY_BOOL_RANGE, "COPY_BOOL_RANGE", V, V),
    ROW(OP_DRSCAN_ARRAY_CAPTURE, "DRSCAN_ARRAY_CAPTURE", V, V),
    ROW(OP_IRSCAN_ARRAY_CAPTURE, "IRSCAN_ARRAY_CAPTURE", V, V),
    ROW(OP_WAIT, "WAIT", T, T),
    ROW(OP_COMPARE_BOOL_RANGES, "COMPARE_BOOL_RANGES", V, V, V),
};

#undef ROW0
#undef ROW

namespace {

constexpr const JbiOpcodeInfo* kTable = jbi_opcode_table;
constexpr int kCount = static_cast<int>(sizeof jbi_opcode_table / sizeof jbi_opcode_table[0]);

constexpr bool ascending() {
  for (int i = 1; i < kCount; ++i) {
    if (kTable[i - 1].code >= kTable[i].code) return false;
  }
  return true;
}
// Every operand slot has a kind, and no slot past the operand count has one.
constexpr bool kinds_match_counts() {
  for (int i = 0; i < kCount; ++i) {
    for (int k = 0; k < 3; ++k) {
      if ((k < kTable[i].operands) != (kTable[i].kind[k] != JBI_OPND_NONE)) return false;
    }
  }
  return true;
}
static_assert(kinds_match_counts(), "each operand of jbi_opcode_table needs exactly one kind");
static_assert(ascending(), "jbi_opcode_table must stay in ascending opcode order");
static_assert(kCount == 72, "the machine has 72 instructions");

// Row index + 1 per opcode byte; 0 marks an illegal opcode.
constexpr std::array<uint8_t, 256> make_index() {
  std::array<uint8_t, 256> index{};
  for (int i = 0; i < kCount; ++i) index[kTable[i].code] = static_cast<uint8_t>(i + 1);
  return index;
}
constexpr std::array<uint8_t, 256> kIndex = make_index();

}  // namespace

const int jbi_opcode_count = kCount;

const JbiOpcodeInfo* jbi_opcode_info(unsigned opcode) {
  if (opcode > 0xFF || kIndex[opcode] == 0) return nullptr;
  return &kTable[kIndex[opcode] - 1];
}

const JbiOpcodeInfo* jbi_opcode_by_name(const char* name) {
  if (name == nullptr) return nullptr;
  if (jbi_toupper(name[0]) == 'O' && jbi_toupper(name[1]) == 'P' && name[2] == '_') name += 3;
  for (int i = 0; i < kCount; ++i) {
    if (jbi_stricmp(name, kTable[i].name) == 0) return &kTable[i];
  }
  return nullptr;
}
