#include "tools/src/zol_web/board_identity.h"

#include <iterator>

#include "dim/src/zol_names.h"

namespace zolweb {
namespace {

// The entry of `table` that `text` starts with at `at` (the longest, as "_1" and "_10" could
// both match a shorter table); advances `at` past it.
template <size_t N>
bool take(const std::string &text, size_t &at, const char *const (&table)[N], std::string &out) {
  size_t best = 0;
  for (const char *entry : table) {
    const std::string e(entry);
    if (e.size() > best && text.compare(at, e.size(), e) == 0) {
      best = e.size();
      out = e;
    }
  }
  at += best;
  return best > 0;
}

}  // namespace

BoardIdentity identity_of(const std::string &name) {
  BoardIdentity id;
  id.prefix = name.empty() || name[0] != '/' ? "/ZOL/" + name : name;
  const size_t slash = id.prefix.find('/', 1);
  if (slash == std::string::npos) return id;
  id.system = id.prefix.substr(1, slash - 1);
  const std::string rest = id.prefix.substr(slash + 1);
  size_t at = 0;
  bool known = false;
  for (const char *s : System_name) known = known || id.system == s;
  known = take(rest, at, Board_type, id.type) && known;
  known = take(rest, at, Board_rev, id.revision) && known;
  known = take(rest, at, Board_sn, id.serial) && known;
  id.known = known && at == rest.size();
  if (!id.known && id.type.empty()) id.type = rest;
  return id;
}

nlohmann::json to_json(const BoardIdentity &identity) {
  return {{"prefix", identity.prefix},     {"system", identity.system}, {"type", identity.type},
          {"revision", identity.revision}, {"serial", identity.serial}, {"known", identity.known}};
}

}  // namespace zolweb
