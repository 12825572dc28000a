// Checks of the opcode table (jbiopcodes.h) and look-ups in it, for the assembler, the
// disassembler and the interpreter's error report.
#include "stapl/src/jbiopcodes.h"

#include <array>

#include "stapl/src/jbiexprt.h"

namespace {

constexpr const JbiOpcodeInfo *kTable = jbi_opcode_table;
constexpr int kCount = jbi_opcode_count;

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

const JbiOpcodeInfo *jbi_opcode_info(unsigned opcode) {
  if (opcode > 0xFF || kIndex[opcode] == 0) return nullptr;
  return &kTable[kIndex[opcode] - 1];
}

const JbiOpcodeInfo *jbi_opcode_by_name(const char *name) {
  if (name == nullptr) return nullptr;
  if (jbi_toupper(name[0]) == 'O' && jbi_toupper(name[1]) == 'P' && name[2] == '_') name += 3;
  for (int i = 0; i < kCount; ++i) {
    if (jbi_stricmp(name, kTable[i].name) == 0) return &kTable[i];
  }
  return nullptr;
}
