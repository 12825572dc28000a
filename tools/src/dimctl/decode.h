// The records of the register servers' services as named fields, for reading by people
// (one line per delivery) and by programs (one JSON object per delivery).
#pragma once

#include <nlohmann/json.hpp>
#include <string>

namespace dimctl {

struct Decoded {
  std::string text;     // one line; a report's printed lines follow on lines of their own
  nlohmann::json json;  // the fields, without time or service
};

// Decodes by the service's last name part (UpdateRegisters, UpdateSubscribedRegisters,
// FPGALoadStatus, FPGALoadProgress, FPGALoadReport). Contents of another service, or whose
// size does not fit its records, come out as words, as with `raw`.
Decoded decode(const std::string &service, const unsigned char *data, int size);
// 32-bit little-endian words in hexadecimal; bytes after the last whole word follow "tail".
Decoded raw_words(const unsigned char *data, int size);

}  // namespace dimctl
