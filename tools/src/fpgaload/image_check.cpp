#include "tools/src/fpgaload/image_check.h"

#include <cstdint>
#include <cstdio>

#include "stapl/src/jbiexprt.h"

namespace {

// The header of the shorter format is 52 bytes; no query looks at a block of that size or less.
constexpr size_t kSmallestHeader = 52;

bool has_action(const unsigned char *program, int32_t size, int action_count, const char *wanted) {
  for (int index = 0; index < action_count; ++index) {
    const char *name = nullptr;
    const char *description = nullptr;
    JBI_PROCINFO *procedures = nullptr;
    const int rc = jbi_get_action_info(program, size, index, &name, &description, &procedures);
    while (procedures != nullptr) {
      JBI_PROCINFO *next = procedures->next;
      jbi_free(procedures);
      procedures = next;
    }
    // The interpreter finds an action regardless of letter case.
    if (name != nullptr && jbi_stricmp(name, wanted) == 0) return true;
    if (rc == JBI_RC_FILE_ACCESS) return false;  // the action table runs off the file
  }
  return false;
}

std::string hex4(unsigned value) {
  char text[8];
  std::snprintf(text, sizeof text, "%04X", value);
  return text;
}

}  // namespace

bool check_image(const std::vector<char> &image, std::string &why, const std::string &action) {
  const auto *program = reinterpret_cast<const unsigned char *>(image.data());
  // A command carries far less than 2 GiB, so the size fits the queries' 32 bits.
  const auto size = static_cast<int32_t>(image.size());
  if (image.empty()) {
    why = "is empty";
    return false;
  }
  if (image.size() <= kSmallestHeader) {
    why = "is " + std::to_string(image.size()) + " bytes, too short for a byte-code file";
    return false;
  }
  int format_version = 0;
  int action_count = 0;
  int procedure_count = 0;
  if (jbi_get_file_info(program, size, &format_version, &action_count, &procedure_count) !=
      JBI_RC_SUCCESS) {
    why = "is not a byte-code file: it does not begin with \"JAM\" and a format number";
    return false;
  }
  uint16_t expected = 0;
  uint16_t actual = 0;
  switch (jbi_check_crc(program, size, &expected, &actual)) {
    case JBI_RC_SUCCESS:
      break;
    case JBI_RC_CRC_MISMATCH:
      why = "has a wrong CRC (stored " + hex4(expected) + ", computed " + hex4(actual) + ")";
      return false;
    default:
      why = "ends before its stored CRC: it is cut short";
      return false;
  }
  // A Jam 1.1 file has no actions: the server runs it from its first instruction.
  if (format_version == 2 && !has_action(program, size, action_count, action.c_str())) {
    why = "has no action \"" + action + "\", which the server runs";
    return false;
  }
  return true;
}
