// A careful reader of byte-code files for listing them: every field is read through a bounds
// check, so a damaged or hostile file yields "absent" values rather than reads past its end.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "stapl/src/jbimain_file.h"

namespace stapl {

// The player's header fields, and what a listing adds to them.
struct Header : JbiHeader {
  int format = 0;          // 1 or 2; 0 when the block is not a byte-code file
  bool truncated = false;  // the block ends inside the header; missing fields read as 0
};

class FileView {
 public:
  explicit FileView(std::span<const uint8_t> bytes);

  const Header &header() const { return header_; }
  size_t size() const { return bytes_.size(); }
  std::span<const uint8_t> bytes() const { return bytes_; }

  // Big-endian fields; absent when any byte lies outside the file.
  std::optional<uint32_t> u32(uint64_t at) const;
  std::optional<uint16_t> u16(uint64_t at) const;
  std::optional<uint8_t> u8(uint64_t at) const;
  // The NUL-terminated string at `at`, cut at `limit` bytes with "..." appended; absent when
  // the file ends before its terminator or the cut.
  std::optional<std::string> string_at(uint64_t at, size_t limit = 256) const;

 private:
  std::span<const uint8_t> bytes_;
  Header header_{};
};

// Text with control and non-ASCII bytes written as \n, \t, \" or \xNN, inside double quotes.
std::string quoted(const std::string &text);

}  // namespace stapl
