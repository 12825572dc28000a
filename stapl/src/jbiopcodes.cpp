// Mnemonics and operand counts of the instruction set, for the assembler and disassembler.
#include "stapl/src/jbiopcodes.h"

#include <array>

#include "stapl/src/jbiexprt.h"

#define ROW(op, name) {op, name, static_cast<uint8_t>(jbi_operand_count(op))}

// Same order as JbiOpcode: ascending opcode value.
constexpr JbiOpcodeInfo jbi_opcode_table[] = {
    ROW(OP_NOOP, "NOOP"),
    ROW(OP_DUPLICATE, "DUPLICATE"),
    ROW(OP_SWAP, "SWAP"),
    ROW(OP_ADD, "ADD"),
    ROW(OP_SUBTRACT, "SUBTRACT"),
    ROW(OP_MULTIPLY, "MULTIPLY"),
    ROW(OP_DIVIDE, "DIVIDE"),
    ROW(OP_REMAINDER, "REMAINDER"),
    ROW(OP_SHIFT_LEFT, "SHIFT_LEFT"),
    ROW(OP_SHIFT_RIGHT, "SHIFT_RIGHT"),
    ROW(OP_BIT_NOT, "BIT_NOT"),
    ROW(OP_BIT_AND, "BIT_AND"),
    ROW(OP_BIT_OR, "BIT_OR"),
    ROW(OP_BIT_XOR, "BIT_XOR"),
    ROW(OP_LOGICAL_NOT, "LOGICAL_NOT"),
    ROW(OP_GREATER, "GREATER"),
    ROW(OP_LESS, "LESS"),
    ROW(OP_RETURN, "RETURN"),
    ROW(OP_COMPARE_MASKED, "COMPARE_MASKED"),
    ROW(OP_PRINT_INTEGER, "PRINT_INTEGER"),
    ROW(OP_PRINT_FLUSH, "PRINT_FLUSH"),
    ROW(OP_DRSCAN_VALUE, "DRSCAN_VALUE"),
    ROW(OP_DRSCAN_VALUE_CAPTURE, "DRSCAN_VALUE_CAPTURE"),
    ROW(OP_IRSCAN_VALUE, "IRSCAN_VALUE"),
    ROW(OP_IRSCAN_VALUE_CAPTURE, "IRSCAN_VALUE_CAPTURE"),
    ROW(OP_DR_PREAMBLE, "DR_PREAMBLE"),
    ROW(OP_DR_PREAMBLE_VALUE, "DR_PREAMBLE_VALUE"),
    ROW(OP_DR_POSTAMBLE, "DR_POSTAMBLE"),
    ROW(OP_DR_POSTAMBLE_VALUE, "DR_POSTAMBLE_VALUE"),
    ROW(OP_IR_PREAMBLE, "IR_PREAMBLE"),
    ROW(OP_IR_PREAMBLE_VALUE, "IR_PREAMBLE_VALUE"),
    ROW(OP_IR_POSTAMBLE, "IR_POSTAMBLE"),
    ROW(OP_IR_POSTAMBLE_VALUE, "IR_POSTAMBLE_VALUE"),
    ROW(OP_PRINT_CHAR, "PRINT_CHAR"),
    ROW(OP_EXIT, "EXIT"),
    ROW(OP_EQUAL, "EQUAL"),
    ROW(OP_DROP, "DROP"),
    ROW(OP_ABSOLUTE, "ABSOLUTE"),
    ROW(OP_STACK_BATCH, "STACK_BATCH"),
    ROW(OP_PUSH_ZERO, "PUSH_ZERO"),
    ROW(OP_PUSH_LITERAL, "PUSH_LITERAL"),
    ROW(OP_PUSH_VARIABLE, "PUSH_VARIABLE"),
    ROW(OP_JUMP, "JUMP"),
    ROW(OP_CALL, "CALL"),
    ROW(OP_LOOP_NEXT, "LOOP_NEXT"),
    ROW(OP_PRINT_STRING, "PRINT_STRING"),
    ROW(OP_MOVE_STATE, "MOVE_STATE"),
    ROW(OP_GOTO_STATE, "GOTO_STATE"),
    ROW(OP_IRSTOP, "IRSTOP"),
    ROW(OP_DRSTOP, "DRSTOP"),
    ROW(OP_SWAP_DEEP, "SWAP_DEEP"),
    ROW(OP_DUPLICATE_DEEP, "DUPLICATE_DEEP"),
    ROW(OP_STORE_VARIABLE, "STORE_VARIABLE"),
    ROW(OP_STORE_INT_ELEMENT, "STORE_INT_ELEMENT"),
    ROW(OP_STORE_BOOL_RANGE, "STORE_BOOL_RANGE"),
    ROW(OP_JUMP_IF_ZERO, "JUMP_IF_ZERO"),
    ROW(OP_DRSCAN_ARRAY, "DRSCAN_ARRAY"),
    ROW(OP_IRSCAN_ARRAY, "IRSCAN_ARRAY"),
    ROW(OP_DR_PREAMBLE_ARRAY, "DR_PREAMBLE_ARRAY"),
    ROW(OP_DR_POSTAMBLE_ARRAY, "DR_POSTAMBLE_ARRAY"),
    ROW(OP_IR_PREAMBLE_ARRAY, "IR_PREAMBLE_ARRAY"),
    ROW(OP_IR_POSTAMBLE_ARRAY, "IR_POSTAMBLE_ARRAY"),
    ROW(OP_EXPORT_INTEGER, "EXPORT_INTEGER"),
    ROW(OP_PUSH_INT_ELEMENT, "PUSH_INT_ELEMENT"),
    ROW(OP_PUSH_BOOL_RANGE, "PUSH_BOOL_RANGE"),
    ROW(OP_RESIZE_ARRAY, "RESIZE_ARRAY"),
    ROW(OP_EXPORT_BOOL_ARRAY, "EXPORT_BOOL_ARRAY"),
    ROW(OP_COPY_BOOL_RANGE, "COPY_BOOL_RANGE"),
    ROW(OP_DRSCAN_ARRAY_CAPTURE, "DRSCAN_ARRAY_CAPTURE"),
    ROW(OP_IRSCAN_ARRAY_CAPTURE, "IRSCAN_ARRAY_CAPTURE"),
    ROW(OP_WAIT, "WAIT"),
    ROW(OP_COMPARE_BOOL_RANGES, "COMPARE_BOOL_RANGES"),
};

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
