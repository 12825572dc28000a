#include "tools/src/stapl/bytecode_writer.h"

#include <limits>

#include "stapl/src/jbiexprt.h"
#include "stapl/src/jbimain_file.h"
#include "tools/src/stapl/compressor.h"

namespace stapl {
namespace {

// An action without a description points its description offset here: no string table
// reaches this far, so the player finds no description.
constexpr uint32_t kNoDescription = 0xFFFFFFFFu;

void put32(std::vector<uint8_t> &out, uint32_t v) {
  for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<uint8_t>(v >> shift));
}

void put16(std::vector<uint8_t> &out, uint32_t v) {
  out.push_back(static_cast<uint8_t>(v >> 8));
  out.push_back(static_cast<uint8_t>(v));
}

void set32(std::vector<uint8_t> &out, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) out[at + i] = static_cast<uint8_t>(v >> (24 - 8 * i));
}

size_t bool_bytes(uint32_t count) { return (static_cast<size_t>(count) + 7) / 8; }

// Data-section bytes of one symbol; empty for kinds that keep nothing there.
std::string symbol_data(const Symbol &s, int format, std::vector<uint8_t> &out) {
  switch (s.kind) {
    case SymbolKind::kInitBoolArray:
    case SymbolKind::kCompressedBoolArray: {
      if (s.bits.size() > bool_bytes(s.count)) return "more data bits than elements";
      std::vector<uint8_t> packed(s.bits);
      packed.resize(bool_bytes(s.count), 0);
      if (s.count % 8 != 0 && !packed.empty()) {
        packed.back() &= static_cast<uint8_t>((1u << (s.count % 8)) - 1);
      }
      if (s.kind == SymbolKind::kCompressedBoolArray) packed = compress_block(packed, format);
      out = std::move(packed);
      return {};
    }
    case SymbolKind::kInitIntArray:
      if (s.ints.size() != s.count) return "initial values do not match the element count";
      out.clear();
      for (int32_t v : s.ints) put32(out, static_cast<uint32_t>(v));
      return {};
    default:
      out.clear();
      return {};
  }
}

// Table entries as they go into the file, in the order the file holds them.
struct ActionEntry {
  uint32_t name, description, first_proc;
};
struct ProcEntry {
  uint32_t name, next, code;
  uint8_t attribute;
};
struct SymbolEntry {
  uint32_t name, value, size;
};
struct NoteEntry {
  uint32_t key, value;
};

// Everything besides the header and the code: the string table is the program's own pool.
struct Tables {
  std::vector<uint8_t> note_strings;
  std::vector<NoteEntry> notes;
  std::vector<ActionEntry> actions;
  std::vector<ProcEntry> procs;
  std::vector<SymbolEntry> symbols;
  std::vector<uint8_t> data;
};

// File offsets of every part, in file order.
struct Layout {
  size_t header_size, symbol_entry_size;
  size_t string_table, note_strings, note_table, action_table, proc_table, symbol_table;
  size_t data_section, code_section, crc_section;
};

std::string check_format(const Program &p) {
  if (p.format != 1 && p.format != 2) return "format must be 1 or 2";
  if (p.format == 1 && (!p.actions.empty() || !p.procedures.empty())) {
    return "a format 1 file has no actions or procedures";
  }
  return {};
}

// Symbol names go into the pool before any other name: a format 1 symbol entry holds a 16-bit
// name offset.
std::string add_symbol_names(Program &p, Tables &t) {
  for (const Symbol &s : p.symbols) {
    uint32_t at = p.strings.add(s.name);
    if (p.format == 1 && at > 0xFFFF) {
      return "symbol name '" + s.name + "' lies beyond the 64 KiB a format 1 entry can reach";
    }
    t.symbols.push_back({at, 0, 0});
  }
  return {};
}

std::string add_actions(Program &p, Tables &t) {
  for (const Action &a : p.actions) {
    if (a.steps.empty()) return "action '" + a.name + "' has no procedures";
    ActionEntry entry{p.strings.add(a.name), kNoDescription, static_cast<uint32_t>(t.procs.size())};
    if (a.description) entry.description = p.strings.add(*a.description);
    t.actions.push_back(entry);
    for (size_t k = 0; k < a.steps.size(); ++k) {
      const ActionStep &step = a.steps[k];
      auto found = p.procedures.find(step.procedure);
      if (found == p.procedures.end()) {
        return "action '" + a.name + "' names procedure '" + step.procedure +
               "', which has no code";
      }
      if (found->second >= p.code.size()) {
        return "procedure '" + step.procedure + "' starts at the end of the code";
      }
      // Chains are laid out one after another, so a next index of 0 (the end mark) is never
      // a real successor.
      uint32_t next = k + 1 < a.steps.size() ? static_cast<uint32_t>(t.procs.size() + 1) : 0;
      t.procs.push_back({p.strings.add(step.procedure), next, found->second,
                         static_cast<uint8_t>(step.attribute)});
    }
  }
  return {};
}

void add_notes(const Program &p, Tables &t) {
  auto add_note_string = [&](const std::string &text) {
    auto at = static_cast<uint32_t>(t.note_strings.size());
    t.note_strings.insert(t.note_strings.end(), text.begin(), text.end());
    t.note_strings.push_back(0);
    return at;
  };
  for (const Note &n : p.notes) {
    uint32_t key = add_note_string(n.key);
    t.notes.push_back({key, add_note_string(n.value)});
  }
}

// The value and size fields of each symbol entry, and the data section they point into.
std::string add_symbol_data(const Program &p, Tables &t) {
  for (size_t i = 0; i < p.symbols.size(); ++i) {
    const Symbol &s = p.symbols[i];
    std::vector<uint8_t> bytes;
    std::string error = symbol_data(s, p.format, bytes);
    if (!error.empty()) return "symbol '" + s.name + "': " + error;
    SymbolEntry &e = t.symbols[i];
    const auto data_offset = static_cast<uint32_t>(t.data.size());
    switch (s.kind) {
      case SymbolKind::kScalar:
        break;
      case SymbolKind::kInitScalar:
        e.value = static_cast<uint32_t>(s.initial);
        break;
      case SymbolKind::kBoolArray:
      case SymbolKind::kIntArray:
        e.size = s.count;
        break;
      case SymbolKind::kCompressedBoolArray:
        e.value = data_offset;
        e.size = static_cast<uint32_t>(bytes.size());
        break;
      case SymbolKind::kInitBoolArray:
      case SymbolKind::kInitIntArray:
        e.value = data_offset;
        e.size = s.count;
        break;
    }
    t.data.insert(t.data.end(), bytes.begin(), bytes.end());
  }
  return {};
}

std::string build_tables(Program &p, Tables &t) {
  std::string error = add_symbol_names(p, t);
  if (error.empty()) error = add_actions(p, t);
  if (!error.empty()) return error;
  add_notes(p, t);
  return add_symbol_data(p, t);
}

Layout lay_out(const Program &p, const Tables &t) {
  int count = 0;
  const JbiHeaderWord *words = jbi_header_words(p.format - 1, &count);
  Layout l{};
  l.header_size = words[count - 1].offset + 4;
  l.symbol_entry_size = p.format == 2 ? 13 : 11;
  l.string_table = l.header_size;
  l.note_strings = l.string_table + p.strings.bytes().size();
  l.note_table = l.note_strings + t.note_strings.size();
  l.action_table = l.note_table + 8 * t.notes.size();
  l.proc_table = l.action_table + 12 * t.actions.size();
  l.symbol_table = l.proc_table + 13 * t.procs.size();
  l.data_section = l.symbol_table + l.symbol_entry_size * t.symbols.size();
  l.code_section = l.data_section + t.data.size();
  l.crc_section = l.code_section + p.code.size();
  return l;
}

// The header through the player's own list of where each word lies.
void put_header(std::vector<uint8_t> &out, const Program &p, const Tables &t, const Layout &l) {
  JbiHeader h{};
  h.first_word = p.format == 2 ? JBI_JAM_FORMAT_2 : JBI_JAM_FORMAT_1;
  h.action_table = static_cast<uint32_t>(l.action_table);
  h.proc_table = static_cast<uint32_t>(l.proc_table);
  h.string_table = static_cast<uint32_t>(l.string_table);
  h.note_strings = static_cast<uint32_t>(l.note_strings);
  h.note_table = static_cast<uint32_t>(l.note_table);
  h.symbol_table = static_cast<uint32_t>(l.symbol_table);
  h.data_section = static_cast<uint32_t>(l.data_section);
  h.code_section = static_cast<uint32_t>(l.code_section);
  h.debug_section = static_cast<uint32_t>(l.crc_section);  // empty
  h.crc_section = static_cast<uint32_t>(l.crc_section);
  h.action_count = static_cast<uint32_t>(t.actions.size());
  h.proc_count = static_cast<uint32_t>(t.procs.size());
  h.note_count = static_cast<uint32_t>(t.notes.size());
  h.symbol_count = static_cast<uint32_t>(t.symbols.size());

  out.assign(l.header_size, 0);
  set32(out, 0, h.first_word);
  int count = 0;
  const JbiHeaderWord *words = jbi_header_words(p.format - 1, &count);
  for (int i = 0; i < count; ++i) set32(out, words[i].offset, h.*words[i].field);
}

// Everything after the header, with the stored CRC as 0 for now.
void put_sections(std::vector<uint8_t> &out, const Program &p, const Tables &t) {
  const std::vector<uint8_t> &strings = p.strings.bytes();
  out.insert(out.end(), strings.begin(), strings.end());
  out.insert(out.end(), t.note_strings.begin(), t.note_strings.end());
  for (const NoteEntry &n : t.notes) {
    put32(out, n.key);
    put32(out, n.value);
  }
  for (const ActionEntry &a : t.actions) {
    put32(out, a.name);
    put32(out, a.description);
    put32(out, a.first_proc);
  }
  for (const ProcEntry &e : t.procs) {
    put32(out, e.name);
    put32(out, e.next);
    out.push_back(e.attribute);
    put32(out, e.code);
  }
  for (size_t i = 0; i < p.symbols.size(); ++i) {
    out.push_back(symbol_attribute(p.symbols[i]));
    if (p.format == 2) {
      put32(out, t.symbols[i].name);
    } else {
      put16(out, t.symbols[i].name);
    }
    put32(out, t.symbols[i].value);
    put32(out, t.symbols[i].size);
  }
  out.insert(out.end(), t.data.begin(), t.data.end());
  out.insert(out.end(), p.code.begin(), p.code.end());
  out.push_back(0);
  out.push_back(0);
}

// The CRC is the player's own, so a file this writer makes always passes the player's check.
std::string store_crc(std::vector<uint8_t> &out, size_t crc_section) {
  uint16_t actual = 0;
  int rc = jbi_check_crc(out.data(), static_cast<int32_t>(out.size()), nullptr, &actual);
  if (rc != JBI_RC_SUCCESS && rc != JBI_RC_CRC_MISMATCH) {
    out.clear();
    return "the player does not recognise the laid-out file";
  }
  out[crc_section] = static_cast<uint8_t>(actual >> 8);
  out[crc_section + 1] = static_cast<uint8_t>(actual);
  return {};
}

}  // namespace

WriteResult write_bytecode(Program &p) {
  WriteResult result;
  Tables tables;
  result.error = check_format(p);
  if (result.error.empty()) result.error = build_tables(p, tables);
  if (!result.error.empty()) return result;

  const Layout layout = lay_out(p, tables);
  if (layout.crc_section + 2 > static_cast<size_t>(std::numeric_limits<int32_t>::max())) {
    result.error = "the file would exceed 2 GiB";
    return result;
  }
  result.bytes.reserve(layout.crc_section + 2);
  put_header(result.bytes, p, tables, layout);
  put_sections(result.bytes, p, tables);
  result.error = store_crc(result.bytes, layout.crc_section);
  return result;
}

}  // namespace stapl
