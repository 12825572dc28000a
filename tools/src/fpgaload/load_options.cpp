#include "tools/src/fpgaload/load_options.h"

#include <cctype>
#include <cstdlib>

bool is_board_pattern(const std::string &value) {
  return value.find_first_of("*?[") != std::string::npos;
}

std::optional<LoadOptions> parse_load_options(int argc, char **argv, std::string &error) {
  LoadOptions options;
  for (int i = 1; i < argc; ++i) {
    std::string word = argv[i];
    if (word.size() < 2 || word[0] != '-') {
      if (!options.file.empty()) {
        error = "more than one file given";
        return std::nullopt;
      }
      options.file = word;
      continue;
    }
    std::string value = word.substr(2);
    switch (std::toupper(static_cast<unsigned char>(word[1]))) {
      case 'T':
        if (value.empty()) {
          error = "No [-T]arget was specified";
          return std::nullopt;
        }
        if (value.size() > kMaxBoardName || value.find('/') != std::string::npos) {
          error = "board name '" + value + "' is not a board name";
          return std::nullopt;
        }
        options.boards.push_back(value);
        break;
      case 'A':
        if (value.empty() || value.size() > kMaxActionName) {
          error =
              "-a needs an action name of 1 to " + std::to_string(kMaxActionName) + " characters";
          return std::nullopt;
        }
        options.action = value;
        break;
      case 'D': {
        size_t equals = value.find('=');
        if (equals == 0 || equals == std::string::npos || value.find('\n') != std::string::npos) {
          error = "-d needs an initialisation entry NAME=value, not '" + value + "'";
          return std::nullopt;
        }
        options.defines.push_back(value);
        size_t bytes = 0;
        for (const std::string &d : options.defines) bytes += d.size() + 1;
        if (bytes - 1 > kMaxDefinesBytes) {
          error = "the -d entries take more than " + std::to_string(kMaxDefinesBytes) + " bytes";
          return std::nullopt;
        }
        break;
      }
      case 'L': {
        char *end = nullptr;
        long seconds = std::strtol(value.c_str(), &end, 10);
        if (value.empty() || *end != '\0' || seconds <= 0 || seconds > 86400) {
          error = "-L needs a time limit in seconds (1 to 86400)";
          return std::nullopt;
        }
        options.timeout_seconds = static_cast<int>(seconds);
        break;
      }
      case 'F':
        if (!value.empty()) {
          error = "-F takes no value";
          return std::nullopt;
        }
        options.unchecked = true;
        break;
      default:
        error = "unknown option " + word;
        return std::nullopt;
    }
  }
  if (options.boards.empty()) {
    error = "no target board given (-TBOARD)";
    return std::nullopt;
  }
  if (options.file.empty()) {
    error = "no byte-code file given";
    return std::nullopt;
  }
  return options;
}
