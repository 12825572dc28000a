// Command line of fpgaload: -TBOARD [-Lseconds] [-F] FILE, in the register client's style
// (a "-" and one letter, compared in upper case, the value right after the letter).
#pragma once

#include <optional>
#include <string>

struct LoadOptions {
  std::string board;
  std::string file;
  int timeout_seconds = 600;  // a large device takes minutes over JTAG
  bool unchecked = false;     // -F: send the file without checking it here first
};

// The parsed options, or nothing (with the reason in `error`) when the line is unusable.
std::optional<LoadOptions> parse_load_options(int argc, char **argv, std::string &error);

// Longest board name that still fits the 132-byte name buffers of the station tools.
constexpr std::size_t kMaxBoardName = 103;
