// Command line of fpgaload: -TBOARD... [-Lseconds] [-F] [-aACTION] [-dNAME=value...] FILE, in
// the register client's style (a "-" and one letter, compared in upper case, the value right
// after the letter). -T and -d may be given several times; a -T value may be a shell-style
// pattern matched against the boards the name server knows.
#pragma once

#include <optional>
#include <string>
#include <vector>

struct LoadOptions {
  std::vector<std::string> boards;  // names or patterns, in the order given
  std::string file;
  std::string action;                // -a: run this action through RunFPGAAction
  std::vector<std::string> defines;  // -d: initialisation entries "NAME=value"
  int timeout_seconds = 600;         // a large device takes minutes over JTAG
  bool unchecked = false;            // -F: send the file without checking it here first
};

// The parsed options, or nothing (with the reason in `error`) when the line is unusable.
std::optional<LoadOptions> parse_load_options(int argc, char **argv, std::string &error);

// True when the -T value is a pattern rather than one board's name.
bool is_board_pattern(const std::string &value);

// Longest action name and the room of the initialisation entries in RunFPGAAction's header.
constexpr std::size_t kMaxActionName = 31;
constexpr std::size_t kMaxDefinesBytes = 223;

// Longest board name that still fits the 132-byte name buffers of the station tools.
constexpr std::size_t kMaxBoardName = 103;
