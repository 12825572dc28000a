#include "stapl/src/tests/support/bytecode_builder.h"

#include <stdexcept>

namespace playertest::bytecode {

namespace {

void put32(std::vector<uint8_t> &out, size_t at, uint32_t v) {
  out[at] = static_cast<uint8_t>(v >> 24);
  out[at + 1] = static_cast<uint8_t>(v >> 16);
  out[at + 2] = static_cast<uint8_t>(v >> 8);
  out[at + 3] = static_cast<uint8_t>(v);
}

void append32(std::vector<uint8_t> &out, uint32_t v) {
  out.resize(out.size() + 4);
  put32(out, out.size() - 4, v);
}

}  // namespace

// Table-driven on purpose, so that it checks the player's bit-by-bit loop independently.
uint16_t crc_x25(const uint8_t *data, size_t length) {
  static uint16_t table[256];
  static bool ready = false;
  if (!ready) {
    for (unsigned n = 0; n < 256; ++n) {
      unsigned c = n;
      for (int k = 0; k < 8; ++k) c = (c & 1) ? (c >> 1) ^ 0x8408 : c >> 1;
      table[n] = static_cast<uint16_t>(c);
    }
    ready = true;
  }
  uint16_t crc = 0xFFFF;
  for (size_t i = 0; i < length; ++i)
    crc = static_cast<uint16_t>((crc >> 8) ^ table[(crc ^ data[i]) & 0xFF]);
  return static_cast<uint16_t>(~crc);
}

Builder::Builder(int format) : format_(format) {
  if (format != 1 && format != 2) throw std::invalid_argument("format");
}

uint32_t Builder::string(const std::string &text) {
  // Reuse an identical string already in the table.
  for (size_t at = 0; at < strings_.size();) {
    const size_t end = strings_.find('\0', at);
    if (strings_.compare(at, end - at, text) == 0) return static_cast<uint32_t>(at);
    at = end + 1;
  }
  const uint32_t at = static_cast<uint32_t>(strings_.size());
  strings_ += text;
  strings_ += '\0';
  return at;
}

void Builder::note(const std::string &key, const std::string &value) {
  const uint32_t k = static_cast<uint32_t>(note_strings_.size());
  note_strings_ += key;
  note_strings_ += '\0';
  const uint32_t v = static_cast<uint32_t>(note_strings_.size());
  note_strings_ += value;
  note_strings_ += '\0';
  notes_.emplace_back(k, v);
}

uint32_t Builder::symbol(uint8_t attribute, const std::string &name, uint32_t value, int32_t size,
                         std::vector<uint8_t> data) {
  symbols_.push_back({attribute, string(name), value, size, std::move(data)});
  return static_cast<uint32_t>(symbols_.size() - 1);
}

uint32_t Builder::scalar(const std::string &name, std::optional<int32_t> initial) {
  return symbol(initial ? kScalarInit : kScalar, name, static_cast<uint32_t>(initial.value_or(0)),
                0);
}

uint32_t Builder::bool_array(const std::string &name, int32_t size) {
  return symbol(kBoolArray, name, 0, size);
}

uint32_t Builder::bool_array_init(const std::string &name, int32_t size,
                                  std::vector<uint8_t> bytes) {
  return symbol(kBoolArrayInit, name, 0, size, std::move(bytes));
}

uint32_t Builder::bool_array_packed(const std::string &name, std::vector<uint8_t> block) {
  const int32_t size = static_cast<int32_t>(block.size());
  return symbol(kBoolArrayPacked, name, 0, size, std::move(block));
}

uint32_t Builder::int_array(const std::string &name, int32_t size) {
  return symbol(kIntArray, name, 0, size);
}

uint32_t Builder::int_array_init(const std::string &name, std::vector<int32_t> values) {
  std::vector<uint8_t> data;
  for (int32_t v : values) append32(data, static_cast<uint32_t>(v));
  return symbol(kIntArrayInit, name, 0, static_cast<int32_t>(values.size()), std::move(data));
}

uint32_t Builder::procedure(const std::string &name, uint32_t next, uint8_t attribute,
                            uint32_t code_offset) {
  procs_.push_back({string(name), next, attribute, code_offset});
  return static_cast<uint32_t>(procs_.size() - 1);
}

uint32_t Builder::action(const std::string &name, uint32_t first_procedure,
                         std::optional<std::string> description) {
  Act a{string(name), first_procedure, std::nullopt};
  if (description) a.description = string(*description);
  actions_.push_back(a);
  return static_cast<uint32_t>(actions_.size() - 1);
}

uint32_t Builder::op(uint8_t opcode) {
  const uint32_t at = here();
  code_.push_back(opcode);
  return at;
}
uint32_t Builder::op(uint8_t opcode, uint32_t a0) {
  const uint32_t at = op(opcode);
  append32(code_, a0);
  return at;
}
uint32_t Builder::op(uint8_t opcode, uint32_t a0, uint32_t a1) {
  const uint32_t at = op(opcode, a0);
  append32(code_, a1);
  return at;
}
uint32_t Builder::op(uint8_t opcode, uint32_t a0, uint32_t a1, uint32_t a2) {
  const uint32_t at = op(opcode, a0, a1);
  append32(code_, a2);
  return at;
}

void Builder::push(std::initializer_list<int32_t> values) {
  for (int32_t v : values) op(0x40, static_cast<uint32_t>(v));
}

void Builder::patch(uint32_t at, int k, uint32_t value) { put32(code_, at + 1 + 4 * k, value); }

void Builder::raw(std::vector<uint8_t> bytes) {
  code_.insert(code_.end(), bytes.begin(), bytes.end());
}

Layout Builder::layout() const {
  Layout l{};
  const uint32_t header = format_ == 1 ? 52 : 68;
  const uint32_t sym_size = format_ == 1 ? 11 : 13;
  l.string_table = header;
  l.note_strings = l.string_table + static_cast<uint32_t>(strings_.size());
  l.note_table = l.note_strings + static_cast<uint32_t>(note_strings_.size());
  l.symbol_table = l.note_table + 8 * static_cast<uint32_t>(notes_.size());
  l.action_table = l.symbol_table + sym_size * static_cast<uint32_t>(symbols_.size());
  l.proc_table = l.action_table + 12 * static_cast<uint32_t>(actions_.size());
  l.data_section = l.proc_table + 13 * static_cast<uint32_t>(procs_.size());
  uint32_t data = 0;
  for (const Sym &s : symbols_) data += static_cast<uint32_t>(s.data.size());
  l.code_section = l.data_section + data;
  l.debug_section = l.code_section + static_cast<uint32_t>(code_.size());
  l.crc_section = l.debug_section;
  return l;
}

std::vector<uint8_t> Builder::build(std::vector<uint8_t> extra_tail) const {
  const Layout l = layout();
  std::vector<uint8_t> out(l.crc_section, 0);
  const bool f2 = format_ == 2;
  const uint32_t d = f2 ? 8 : 0;
  put32(out, 0, f2 ? 0x4A414D01 : 0x4A414D00);
  if (f2) {
    put32(out, 4, l.action_table);
    put32(out, 8, l.proc_table);
    put32(out, 48, static_cast<uint32_t>(actions_.size()));
    put32(out, 52, static_cast<uint32_t>(procs_.size()));
  }
  put32(out, 4 + d, l.string_table);
  put32(out, 8 + d, l.note_strings);
  put32(out, 12 + d, l.note_table);
  put32(out, 16 + d, l.symbol_table);
  put32(out, 20 + d, l.data_section);
  put32(out, 24 + d, l.code_section);
  put32(out, 28 + d, l.debug_section);
  put32(out, 32 + d, l.crc_section);
  put32(out, 44 + 2 * d, static_cast<uint32_t>(notes_.size()));
  put32(out, 48 + 2 * d, static_cast<uint32_t>(symbols_.size()));

  std::copy(strings_.begin(), strings_.end(), out.begin() + l.string_table);
  std::copy(note_strings_.begin(), note_strings_.end(), out.begin() + l.note_strings);
  for (size_t i = 0; i < notes_.size(); ++i) {
    put32(out, l.note_table + 8 * i, notes_[i].first);
    put32(out, l.note_table + 8 * i + 4, notes_[i].second);
  }
  uint32_t data_at = 0;
  for (size_t i = 0; i < symbols_.size(); ++i) {
    const Sym &s = symbols_[i];
    const size_t at = l.symbol_table + (f2 ? 13 : 11) * i;
    out[at] = s.attribute;
    uint32_t value = s.value;
    if (!s.data.empty()) {
      value = data_at;
      std::copy(s.data.begin(), s.data.end(), out.begin() + l.data_section + data_at);
      data_at += static_cast<uint32_t>(s.data.size());
    }
    if (f2) {
      put32(out, at + 1, s.name);
      put32(out, at + 5, value);
      put32(out, at + 9, static_cast<uint32_t>(s.size));
    } else {
      out[at + 1] = static_cast<uint8_t>(s.name >> 8);
      out[at + 2] = static_cast<uint8_t>(s.name);
      put32(out, at + 3, value);
      put32(out, at + 7, static_cast<uint32_t>(s.size));
    }
  }
  for (size_t i = 0; i < actions_.size(); ++i) {
    const Act &a = actions_[i];
    const size_t at = l.action_table + 12 * i;
    put32(out, at, a.name);
    // Without a description the offset is the first one that is not a description.
    put32(out, at + 4, a.description ? *a.description : l.note_strings - l.string_table);
    put32(out, at + 8, a.first);
  }
  for (size_t i = 0; i < procs_.size(); ++i) {
    const Proc &p = procs_[i];
    const size_t at = l.proc_table + 13 * i;
    put32(out, at, p.name);
    put32(out, at + 4, p.next);
    out[at + 8] = p.attribute;
    put32(out, at + 9, p.code);
  }
  std::copy(code_.begin(), code_.end(), out.begin() + l.code_section);

  const uint16_t crc = crc_x25(out.data(), out.size());
  out.push_back(static_cast<uint8_t>(crc >> 8));
  out.push_back(static_cast<uint8_t>(crc));
  out.insert(out.end(), extra_tail.begin(), extra_tail.end());
  return out;
}

}  // namespace playertest::bytecode
