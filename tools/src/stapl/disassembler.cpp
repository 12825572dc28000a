#include "tools/src/stapl/disassembler.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <string>

#include "stapl/src/jbiopcodes.h"
#include "tools/src/stapl/tap_states.h"

namespace stapl {
namespace {

bool plain_name(const std::string &s) {
  if (s.empty() || !(std::isalpha(static_cast<unsigned char>(s[0])) || s[0] == '_')) return false;
  return std::all_of(s.begin(), s.end(), [](char c) {
    return std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '.';
  });
}

// Name of symbol `index` when the table entry and its name lie inside the file.
std::optional<std::string> symbol_name(const FileView &file, uint32_t index) {
  const Header &h = file.header();
  if (index >= h.symbol_count) return std::nullopt;
  const uint64_t entry = h.format == 2 ? 13 : 11;
  const uint64_t at = h.symbol_table + entry * index;
  std::optional<uint32_t> name =
      h.format == 2 ? file.u32(at + 1) : std::optional<uint32_t>(file.u16(at + 1));
  if (!name) return std::nullopt;
  auto text = file.string_at(uint64_t{h.string_table} + *name, 64);
  if (!text || !plain_name(*text)) return std::nullopt;
  return text;
}

std::string operand_text(const FileView &file, JbiOperandKind kind, uint32_t value) {
  switch (kind) {
    case JBI_OPND_VARIABLE:
      if (auto name = symbol_name(file, value)) return *name;
      break;
    case JBI_OPND_STRING:
      if (auto text = file.string_at(uint64_t{file.header().string_table} + value, 80)) {
        return quoted(*text);
      }
      break;
    case JBI_OPND_STATE:
      if (const char *name = tap_state_name(value)) return name;
      break;
    case JBI_OPND_NUMBER:
      return std::to_string(static_cast<int32_t>(value));
    default:
      break;
  }
  return std::to_string(value);
}

}  // namespace

void print_disassembly(std::ostream &out, const FileView &file) {
  const Header &h = file.header();
  const uint64_t start = h.code_section;
  const uint64_t end = std::min<uint64_t>(h.debug_section, file.size());
  if (start >= end) {
    out << "  (no code)\n";
    return;
  }
  char line[64];
  for (uint64_t pc = start; pc < end;) {
    const uint8_t opcode = file.bytes()[pc];
    const int count = jbi_operand_count(opcode);
    std::snprintf(line, sizeof line, "%8llu  ", static_cast<unsigned long long>(pc - start));
    out << line;
    const uint64_t length = 1 + 4 * static_cast<uint64_t>(count);
    if (end - pc < length) {
      std::snprintf(line, sizeof line, "(opcode 0x%02X cut off: %llu of %llu bytes)\n", opcode,
                    static_cast<unsigned long long>(end - pc),
                    static_cast<unsigned long long>(length));
      out << line;
      break;
    }
    const JbiOpcodeInfo *op = jbi_opcode_info(opcode);
    if (op != nullptr) {
      out << op->name;
    } else {
      std::snprintf(line, sizeof line, "(illegal opcode 0x%02X)", opcode);
      out << line;
    }
    for (int k = 0; k < count; ++k) {
      uint32_t value = *file.u32(pc + 1 + 4 * static_cast<uint64_t>(k));
      out << (k == 0 ? " " : ", ")
          << operand_text(file, op != nullptr ? op->kind[k] : JBI_OPND_NONE, value);
    }
    out << '\n';
    pc += length;
  }
}

}  // namespace stapl
