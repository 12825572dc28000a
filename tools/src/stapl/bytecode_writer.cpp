#include "tools/src/stapl/bytecode_writer.h"

#include <limits>

#include "stapl/src/jbiexprt.h"
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

}  // namespace

WriteResult write_bytecode(Program &p) {
  WriteResult result;
  if (p.format != 1 && p.format != 2) {
    result.error = "format must be 1 or 2";
    return result;
  }
  const bool f2 = p.format == 2;
  if (!f2 && (!p.actions.empty() || !p.procedures.empty())) {
    result.error = "a format 1 file has no actions or procedures";
    return result;
  }

  // Symbol names first: a format 1 symbol entry holds a 16-bit name offset.
  std::vector<uint32_t> symbol_names;
  for (const Symbol &s : p.symbols) {
    uint32_t at = p.strings.add(s.name);
    if (!f2 && at > 0xFFFF) {
      result.error = "symbol name '" + s.name + "' lies beyond the 64 KiB a format 1 entry can reach";
      return result;
    }
    symbol_names.push_back(at);
  }

  struct ProcEntry {
    uint32_t name, next, code;
    uint8_t attribute;
  };
  struct ActionEntry {
    uint32_t name, description, first_proc;
  };
  std::vector<ActionEntry> actions;
  std::vector<ProcEntry> procs;
  for (const Action &a : p.actions) {
    if (a.steps.empty()) {
      result.error = "action '" + a.name + "' has no procedures";
      return result;
    }
    ActionEntry entry{p.strings.add(a.name), kNoDescription, static_cast<uint32_t>(procs.size())};
    if (a.description) entry.description = p.strings.add(*a.description);
    actions.push_back(entry);
    for (size_t k = 0; k < a.steps.size(); ++k) {
      const ActionStep &step = a.steps[k];
      auto found = p.procedures.find(step.procedure);
      if (found == p.procedures.end()) {
        result.error = "action '" + a.name + "' names procedure '" + step.procedure +
                       "', which has no code";
        return result;
      }
      if (found->second >= p.code.size()) {
        result.error = "procedure '" + step.procedure + "' starts at the end of the code";
        return result;
      }
      // Chains are laid out one after another, so a next index of 0 (the end mark) is never
      // a real successor.
      uint32_t next = k + 1 < a.steps.size() ? static_cast<uint32_t>(procs.size() + 1) : 0;
      procs.push_back({p.strings.add(step.procedure), next, found->second,
                       static_cast<uint8_t>(step.attribute)});
    }
  }

  std::vector<uint8_t> note_strings;
  std::vector<std::pair<uint32_t, uint32_t>> notes;
  auto add_note_string = [&](const std::string &text) {
    auto at = static_cast<uint32_t>(note_strings.size());
    note_strings.insert(note_strings.end(), text.begin(), text.end());
    note_strings.push_back(0);
    return at;
  };
  for (const Note &n : p.notes) {
    uint32_t key = add_note_string(n.key);
    notes.emplace_back(key, add_note_string(n.value));
  }

  std::vector<uint8_t> data;
  std::vector<std::pair<uint32_t, uint32_t>> symbol_value_size;  // value and size fields
  for (const Symbol &s : p.symbols) {
    std::vector<uint8_t> bytes;
    std::string error = symbol_data(s, p.format, bytes);
    if (!error.empty()) {
      result.error = "symbol '" + s.name + "': " + error;
      return result;
    }
    switch (s.kind) {
      case SymbolKind::kScalar: symbol_value_size.emplace_back(0, 0); break;
      case SymbolKind::kInitScalar:
        symbol_value_size.emplace_back(static_cast<uint32_t>(s.initial), 0);
        break;
      case SymbolKind::kBoolArray:
      case SymbolKind::kIntArray: symbol_value_size.emplace_back(0, s.count); break;
      case SymbolKind::kCompressedBoolArray:
        symbol_value_size.emplace_back(static_cast<uint32_t>(data.size()),
                                       static_cast<uint32_t>(bytes.size()));
        break;
      case SymbolKind::kInitBoolArray:
      case SymbolKind::kInitIntArray:
        symbol_value_size.emplace_back(static_cast<uint32_t>(data.size()), s.count);
        break;
    }
    data.insert(data.end(), bytes.begin(), bytes.end());
  }

  const size_t header = f2 ? 68 : 52;
  const size_t symbol_entry = f2 ? 13 : 11;
  const std::vector<uint8_t> &strings = p.strings.bytes();
  const size_t string_table = header;
  const size_t note_strings_at = string_table + strings.size();
  const size_t note_table = note_strings_at + note_strings.size();
  const size_t action_table = note_table + 8 * notes.size();
  const size_t proc_table = action_table + 12 * actions.size();
  const size_t symbol_table = proc_table + 13 * procs.size();
  const size_t data_section = symbol_table + symbol_entry * p.symbols.size();
  const size_t code_section = data_section + data.size();
  const size_t crc_section = code_section + p.code.size();
  if (crc_section + 2 > static_cast<size_t>(std::numeric_limits<int32_t>::max())) {
    result.error = "the file would exceed 2 GiB";
    return result;
  }

  std::vector<uint8_t> &out = result.bytes;
  out.reserve(crc_section + 2);
  out.assign(header, 0);
  set32(out, 0, f2 ? 0x4A414D01u : 0x4A414D00u);
  const size_t delta = f2 ? 8 : 0;
  if (f2) {
    set32(out, 4, static_cast<uint32_t>(action_table));
    set32(out, 8, static_cast<uint32_t>(proc_table));
    set32(out, 40 + delta, static_cast<uint32_t>(actions.size()));
    set32(out, 44 + delta, static_cast<uint32_t>(procs.size()));
  }
  set32(out, 4 + delta, static_cast<uint32_t>(string_table));
  set32(out, 8 + delta, static_cast<uint32_t>(note_strings_at));
  set32(out, 12 + delta, static_cast<uint32_t>(note_table));
  set32(out, 16 + delta, static_cast<uint32_t>(symbol_table));
  set32(out, 20 + delta, static_cast<uint32_t>(data_section));
  set32(out, 24 + delta, static_cast<uint32_t>(code_section));
  set32(out, 28 + delta, static_cast<uint32_t>(crc_section));  // debug section: empty
  set32(out, 32 + delta, static_cast<uint32_t>(crc_section));
  set32(out, 44 + 2 * delta, static_cast<uint32_t>(notes.size()));
  set32(out, 48 + 2 * delta, static_cast<uint32_t>(p.symbols.size()));

  out.insert(out.end(), strings.begin(), strings.end());
  out.insert(out.end(), note_strings.begin(), note_strings.end());
  for (auto [key, value] : notes) {
    put32(out, key);
    put32(out, value);
  }
  for (const ActionEntry &a : actions) {
    put32(out, a.name);
    put32(out, a.description);
    put32(out, a.first_proc);
  }
  for (const ProcEntry &e : procs) {
    put32(out, e.name);
    put32(out, e.next);
    out.push_back(e.attribute);
    put32(out, e.code);
  }
  for (size_t i = 0; i < p.symbols.size(); ++i) {
    out.push_back(symbol_attribute(p.symbols[i]));
    if (f2) {
      put32(out, symbol_names[i]);
    } else {
      put16(out, symbol_names[i]);
    }
    put32(out, symbol_value_size[i].first);
    put32(out, symbol_value_size[i].second);
  }
  out.insert(out.end(), data.begin(), data.end());
  out.insert(out.end(), p.code.begin(), p.code.end());
  out.push_back(0);
  out.push_back(0);

  uint16_t actual = 0;
  int rc = jbi_check_crc(out.data(), static_cast<int32_t>(out.size()), nullptr, &actual);
  if (rc != JBI_RC_SUCCESS && rc != JBI_RC_CRC_MISMATCH) {
    result.bytes.clear();
    result.error = "the player does not recognise the laid-out file";
    return result;
  }
  out[crc_section] = static_cast<uint8_t>(actual >> 8);
  out[crc_section + 1] = static_cast<uint8_t>(actual);
  return result;
}

}  // namespace stapl
