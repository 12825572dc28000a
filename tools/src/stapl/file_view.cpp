#include "tools/src/stapl/file_view.h"

#include <cstdio>

namespace stapl {

FileView::FileView(std::span<const uint8_t> bytes) : bytes_(bytes) {
  const auto size = static_cast<int64_t>(bytes_.size());
  uint32_t first_word = 0;
  if (!jbi_read_first_word(bytes_.data(), size, &first_word)) {
    header_.first_word = first_word;
    return;
  }
  // Unlike the player, a header cut off by the end of the block is still listed, as far as
  // it goes.
  header_.truncated = !jbi_read_header_fields(bytes_.data(), size, first_word, &header_);
  header_.format = header_.version + 1;
}

std::optional<uint32_t> FileView::u32(uint64_t at) const {
  if (!jbi_span_ok(static_cast<int64_t>(bytes_.size()), at, 4)) return std::nullopt;
  return jbi_be32(bytes_.data() + at);
}

std::optional<uint16_t> FileView::u16(uint64_t at) const {
  if (!jbi_span_ok(static_cast<int64_t>(bytes_.size()), at, 2)) return std::nullopt;
  return static_cast<uint16_t>(jbi_be16(bytes_.data() + at));
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
      case '\n':
        out += "\\n";
        break;
      case '\t':
        out += "\\t";
        break;
      case '\r':
        out += "\\r";
        break;
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
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
