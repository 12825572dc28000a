#include "tools/src/stapl/file_view.h"

#include <cstdio>

namespace stapl {

FileView::FileView(std::span<const uint8_t> bytes) : bytes_(bytes) {
  // Blocks of 52 bytes or fewer are never examined, as the player does.
  if (bytes_.size() <= 52) return;
  header_.first_word = *u32(0);
  if (header_.first_word != 0x4A414D00u && header_.first_word != 0x4A414D01u) return;
  const int version = static_cast<int>(header_.first_word & 1);
  header_.format = version + 1;
  const uint64_t delta = 8 * version;
  auto field = [&](uint64_t at) {
    auto v = u32(at);
    if (!v) header_.truncated = true;
    return v.value_or(0);
  };
  if (version == 1) {
    header_.action_table = field(4);
    header_.proc_table = field(8);
    header_.action_count = field(40 + delta);
    header_.proc_count = field(44 + delta);
  }
  header_.string_table = field(4 + delta);
  header_.note_strings = field(8 + delta);
  header_.note_table = field(12 + delta);
  header_.symbol_table = field(16 + delta);
  header_.data_section = field(20 + delta);
  header_.code_section = field(24 + delta);
  header_.debug_section = field(28 + delta);
  header_.crc_section = field(32 + delta);
  header_.note_count = field(44 + 2 * delta);
  header_.symbol_count = field(48 + 2 * delta);
}

std::optional<uint32_t> FileView::u32(uint64_t at) const {
  if (at > bytes_.size() || bytes_.size() - at < 4) return std::nullopt;
  return (uint32_t{bytes_[at]} << 24) | (uint32_t{bytes_[at + 1]} << 16) |
         (uint32_t{bytes_[at + 2]} << 8) | uint32_t{bytes_[at + 3]};
}

std::optional<uint16_t> FileView::u16(uint64_t at) const {
  if (at > bytes_.size() || bytes_.size() - at < 2) return std::nullopt;
  return static_cast<uint16_t>((bytes_[at] << 8) | bytes_[at + 1]);
}

std::optional<uint8_t> FileView::u8(uint64_t at) const {
  if (at >= bytes_.size()) return std::nullopt;
  return bytes_[at];
}

std::optional<std::string> FileView::string_at(uint64_t at, size_t limit) const {
  std::string text;
  for (uint64_t i = at; i < bytes_.size(); ++i) {
    if (bytes_[i] == 0) return text;
    if (text.size() == limit) return text + "...";
    text.push_back(static_cast<char>(bytes_[i]));
  }
  return std::nullopt;
}

std::string quoted(const std::string &text) {
  std::string out = "\"";
  for (unsigned char c : text) {
    switch (c) {
      case '\n': out += "\\n"; break;
      case '\t': out += "\\t"; break;
      case '\r': out += "\\r"; break;
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      default:
        if (c < 0x20 || c >= 0x7F) {
          char buf[8];
          std::snprintf(buf, sizeof buf, "\\x%02X", c);
          out += buf;
        } else {
          out.push_back(static_cast<char>(c));
        }
    }
  }
  return out + "\"";
}

}  // namespace stapl
