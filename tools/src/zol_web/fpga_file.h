// What the gateway learns from an uploaded byte-code file before any of it goes to a board:
// the player's own file queries (format, CRC, notes, actions with their procedures). A file
// they reject is refused here, so a damaged upload never reaches the board.
#pragma once

#include <cstdint>
#include <nlohmann/json.hpp>
#include <span>
#include <string>
#include <vector>

namespace zolweb {

struct FileProcedure {
  std::string name;
  int attributes = 0;  // 0 always runs, 1 optional, 2 or 3 recommended
};

struct FileAction {
  std::string name;
  std::string description;
  std::vector<FileProcedure> procedures;
};

struct FileReport {
  size_t size = 0;
  int format = 0;  // 1 (Jam 1.1) or 2 (Jam STAPL); 0 when not a byte-code file
  bool crc_checked = false;
  bool crc_ok = false;
  uint16_t crc_stored = 0;
  uint16_t crc_computed = 0;
  std::vector<std::pair<std::string, std::string>> notes;
  std::vector<FileAction> actions;
  // Why the file cannot be loaded; empty when it can.
  std::string refusal;
};

FileReport inspect_file(std::span<const uint8_t> image);

// Why `action` cannot be run from the file, or "" when it can. A Jam 1.1 file has no actions
// and runs from its first instruction whatever is asked.
std::string action_refusal(const FileReport &report, const std::string &action);

nlohmann::json to_json(const FileReport &report);

}  // namespace zolweb
