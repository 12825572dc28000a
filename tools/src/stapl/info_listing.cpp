#include "tools/src/stapl/info_listing.h"

#include <cstdio>
#include <set>
#include <string>
#include <vector>

#include "stapl/src/jbicomp.h"
#include "stapl/src/jbiexprt.h"
#include "tools/src/stapl/disassembler.h"
#include "tools/src/stapl/file_view.h"

namespace stapl {
namespace {

// Expanding a compressed array costs its expanded size in memory; larger claims are only
// reported, not tried.
constexpr uint32_t kMaxExpandForListing = 64u << 20;
constexpr uint32_t kPreviewBits = 256;
constexpr uint32_t kPreviewInts = 8;

std::string fmt(const char *format, auto... args) {
  char buf[256];
  std::snprintf(buf, sizeof buf, format, args...);
  return buf;
}

std::string string_or_note(const FileView &file, uint64_t at) {
  auto text = file.string_at(at);
  return text ? quoted(*text) : std::string("(outside the file)");
}

// Boolean elements [0, count) at `at` as one hexadecimal number, element 0 its lowest bit,
// the way the player exports arrays; only the first kPreviewBits are shown.
std::string bool_preview(const FileView &file, uint64_t at, uint32_t count) {
  uint32_t shown = count < kPreviewBits ? count : kPreviewBits;
  if (!file.u8(at + (shown == 0 ? 0 : (shown - 1) / 8)) && shown > 0)
    return "(data outside the file)";
  std::string digits;
  for (uint32_t d = 0; d < (shown + 3) / 4; ++d) {
    int v = 0;
    for (uint32_t b = 0; b < 4 && 4 * d + b < shown; ++b) {
      uint32_t bit = 4 * d + b;
      if ((*file.u8(at + bit / 8) >> (bit % 8)) & 1) v |= 1 << b;
    }
    digits.insert(digits.begin(), "0123456789ABCDEF"[v]);
  }
  if (shown < count) return "hex ..." + digits + fmt(" (lowest %u of %u bits)", shown, count);
  return "hex " + digits;
}

std::string int_preview(const FileView &file, uint64_t at, uint32_t count) {
  std::string out;
  uint32_t shown = count < kPreviewInts ? count : kPreviewInts;
  for (uint32_t k = 0; k < shown; ++k) {
    auto v = file.u32(at + 4ull * k);
    if (!v) return "(data outside the file)";
    out += (k == 0 ? "" : ", ") + std::to_string(static_cast<int32_t>(*v));
  }
  if (shown < count) out += ", ...";
  return out;
}

std::string compressed_summary(const FileView &file, uint64_t at, uint32_t block_length) {
  const Header &h = file.header();
  if (at > file.size() || file.size() - at < block_length || block_length < 4) {
    return fmt("%u-byte compressed block (outside the file)", block_length);
  }
  const uint8_t *block = file.bytes().data() + at;
  uint32_t expanded = jbi_get_dword(block);
  std::string out = fmt("%u-byte compressed block of %u bytes", block_length, expanded);
  if (expanded > kMaxExpandForListing) return out + " (too large to check)";
  std::vector<uint8_t> buffer(expanded == 0 ? 1 : expanded);
  uint32_t got = jbi_uncompress(block, block_length, buffer.data(), expanded, h.format - 1);
  if (got != expanded) return out + " (does not expand: the player refuses this file)";
  return out + fmt(" (%llu elements)", 8ull * expanded);
}

void print_symbols(std::ostream &out, const FileView &file) {
  const Header &h = file.header();
  const uint64_t entry = h.format == 2 ? 13 : 11;
  out << fmt("Symbols: %u\n", h.symbol_count);
  for (uint32_t i = 0; i < h.symbol_count; ++i) {
    const uint64_t at = h.symbol_table + entry * i;
    if (!file.u32(at + entry - 4)) {
      out << fmt("  (the table runs past the end of the file at entry %u)\n", i);
      return;
    }
    const uint8_t attr = *file.u8(at) & 0x7F;
    const uint32_t name =
        h.format == 2 ? *file.u32(at + 1) : static_cast<uint32_t>(*file.u16(at + 1));
    const uint32_t value = *file.u32(at + entry - 8);
    const uint32_t size = *file.u32(at + entry - 4);
    const uint64_t data = uint64_t{h.data_section} + value;
    std::string kind;
    if ((attr & 0x0C) == 0x00) {
      kind = (attr & 0x10) ? "integer" : "Boolean";
    } else if ((attr & 0x0C) == 0x04) {
      kind = std::string((attr & 0x10) ? "integer" : "Boolean") + " = " +
             std::to_string(static_cast<int32_t>(value));
    } else if ((attr & 0x1E) == 0x0E) {
      kind = "Boolean array, " + compressed_summary(file, data, size);
    } else if ((attr & 0x1E) == 0x0C) {
      kind = fmt("Boolean array [%u] = ", size) + bool_preview(file, data, size);
    } else if ((attr & 0x1C) == 0x1C) {
      kind = fmt("integer array [%u] = ", size) + int_preview(file, data, size);
    } else {
      kind = fmt("%s array [%u]", (attr & 0x10) ? "integer" : "Boolean", size);
    }
    auto text = file.string_at(uint64_t{h.string_table} + name, 64);
    out << fmt("  %4u  attr 0x%02X  ", i, attr) << (text ? *text : "(name outside the file)")
        << "  " << kind << '\n';
  }
}

// Procedure entry fields, when the entry lies inside the file.
struct ProcEntry {
  uint32_t name, next, code;
  uint8_t attribute;
};

std::optional<ProcEntry> proc_entry(const FileView &file, uint32_t index) {
  const uint64_t at = file.header().proc_table + 13ull * index;
  if (!file.u32(at + 9)) return std::nullopt;
  return ProcEntry{*file.u32(at), *file.u32(at + 4), *file.u32(at + 9), *file.u8(at + 8)};
}

const char *attribute_text(uint8_t attribute) {
  switch (attribute & 3) {
    case 0:
      return "";
    case 1:
      return " (optional)";
    default:
      return " (recommended)";
  }
}

void print_actions(std::ostream &out, const FileView &file) {
  const Header &h = file.header();
  out << fmt("Actions: %u\n", h.action_count);
  for (uint32_t i = 0; i < h.action_count; ++i) {
    const uint64_t at = h.action_table + 12ull * i;
    if (!file.u32(at + 8)) {
      out << fmt("  (the table runs past the end of the file at entry %u)\n", i);
      break;
    }
    const uint32_t name = *file.u32(at), desc = *file.u32(at + 4), first = *file.u32(at + 8);
    out << "  " << string_or_note(file, uint64_t{h.string_table} + name);
    if (desc < h.note_strings - h.string_table) {
      out << " " << string_or_note(file, uint64_t{h.string_table} + desc);
    }
    out << '\n';
    // The chain as the player follows it: a next index of 0, or one past the table, ends it.
    std::set<uint32_t> seen;
    for (uint32_t p = first;;) {
      if (p >= h.proc_count) {
        out << fmt("      procedure %u is not in the table\n", p);
        break;
      }
      auto e = proc_entry(file, p);
      if (!e) {
        out << fmt("      procedure %u lies outside the file\n", p);
        break;
      }
      if (!seen.insert(p).second) {
        out << fmt("      procedure %u again: the chain loops\n", p);
        break;
      }
      out << "      " << string_or_note(file, uint64_t{h.string_table} + e->name)
          << attribute_text(e->attribute) << '\n';
      if (e->next == 0 || e->next >= h.proc_count) break;
      p = e->next;
    }
  }
  out << fmt("Procedures: %u\n", h.proc_count);
  for (uint32_t i = 0; i < h.proc_count; ++i) {
    auto e = proc_entry(file, i);
    if (!e) {
      out << fmt("  (the table runs past the end of the file at entry %u)\n", i);
      break;
    }
    out << fmt("  %4u  code %8u  next %4u  attr 0x%02X  ", i, e->code, e->next, e->attribute)
        << string_or_note(file, uint64_t{h.string_table} + e->name) << '\n';
  }
}

void print_notes(std::ostream &out, const FileView &file) {
  const Header &h = file.header();
  out << fmt("Notes: %u\n", h.note_count);
  for (uint32_t i = 0; i < h.note_count; ++i) {
    const uint64_t at = h.note_table + 8ull * i;
    if (!file.u32(at + 4)) {
      out << fmt("  (the table runs past the end of the file at entry %u)\n", i);
      return;
    }
    out << "  " << string_or_note(file, uint64_t{h.note_strings} + *file.u32(at)) << " = "
        << string_or_note(file, uint64_t{h.note_strings} + *file.u32(at + 4)) << '\n';
  }
}

}  // namespace

int print_info(std::ostream &out, std::span<const uint8_t> image, const std::string &name) {
  FileView file(image);
  const Header &h = file.header();
  out << "File: " << name << fmt(" (%zu bytes)\n", image.size());
  if (h.format == 0) {
    if (image.size() <= static_cast<size_t>(JBI_MIN_FILE_SIZE)) {
      out << "Not a byte-code file: 52 bytes or fewer\n";
    } else {
      out << fmt("Not a byte-code file: identification word 0x%08X\n", h.first_word);
    }
    return 1;
  }
  out << fmt("Format: %d (%s byte-code)\n", h.format, h.format == 2 ? "Jam STAPL" : "Jam 1.1");
  if (h.truncated) out << "Header: cut off by the end of the file; missing fields read as 0\n";

  int status = 0;
  uint16_t expected = 0, actual = 0;
  int crc = jbi_check_crc(image.data(), static_cast<int32_t>(image.size()), &expected, &actual);
  if (crc == JBI_RC_SUCCESS) {
    out << fmt("CRC: %04X, matched\n", actual);
  } else if (crc == JBI_RC_CRC_MISMATCH) {
    out << fmt("CRC: mismatch, stored %04X, computed %04X\n", expected, actual);
    status = 1;
  } else {
    out << fmt("CRC: the stored CRC at %u lies outside the file\n", h.crc_section);
    status = 1;
  }

  if (h.format == 2) {
    out << fmt("Sections: actions %u, procedures %u, ", h.action_table, h.proc_table);
  } else {
    out << "Sections: ";
  }
  out << fmt(
      "strings %u, note strings %u, notes %u, symbols %u, data %u, code %u, debug %u, "
      "crc %u\n",
      h.string_table, h.note_strings, h.note_table, h.symbol_table, h.data_section, h.code_section,
      h.debug_section, h.crc_section);

  print_notes(out, file);
  if (h.format == 2) print_actions(out, file);
  print_symbols(out, file);
  const uint64_t code_end = std::min<uint64_t>(h.debug_section, image.size());
  out << fmt(
      "Code: %llu bytes, offsets from the code section\n",
      static_cast<unsigned long long>(code_end > h.code_section ? code_end - h.code_section : 0));
  print_disassembly(out, file);
  return status;
}

}  // namespace stapl
