// A board's identity read back from its name "/<system>/<type><rev><serial>", with the same
// name tables the server builds the name from.
#pragma once

#include <nlohmann/json.hpp>
#include <string>

namespace zolweb {

struct BoardIdentity {
  std::string prefix;  // "/ZOL/KeshV2_00"
  std::string system, type, revision, serial;
  bool known = false;  // every part found in the tables
};

// `name` is a prefix ("/ZOL/KeshV2_00") or a board of the system ZOL ("KeshV2_00").
BoardIdentity identity_of(const std::string &name);
nlohmann::json to_json(const BoardIdentity &identity);

}  // namespace zolweb
