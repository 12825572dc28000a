// Whole-file reads and writes for the subcommands.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace stapl {

// Largest byte-code file the subcommands read: the player takes a length as a signed
// 32-bit count.
inline constexpr size_t kMaxImage = size_t{1} << 30;
// Largest SVF file `stapl svf` reads: a 64-Mbit scan is 16 MiB of hexadecimal digits, and
// a file may hold several.
inline constexpr size_t kMaxSvf = size_t{1} << 31;

// Files larger than `limit` bytes are refused. On failure `error` says why, in the words of
// the system ("No such file or directory") or "larger than N bytes".
std::optional<std::vector<uint8_t>> read_file(const std::string &path, size_t limit,
                                              std::string &error);
// Writes through a temporary file beside `path` and renames it, so a failed write never
// leaves half a file under the name a build step waits for. A device or a pipe (/dev/null,
// a FIFO) is written in place: renaming over it would replace it by a regular file.
bool write_file(const std::string &path, const std::vector<uint8_t> &bytes, std::string &error);

}  // namespace stapl
