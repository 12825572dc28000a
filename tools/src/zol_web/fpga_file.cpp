#include "tools/src/zol_web/fpga_file.h"

#include <cstdio>

#include "stapl/src/jbiexprt.h"

namespace zolweb {
namespace {

// The player's note buffers: a longer key or value arrives cut at this length.
constexpr int kNoteText = 256;

std::string cut_text(const char *text, int length) {
  int n = 0;
  while (n < length && text[n]) ++n;
  return std::string(text, static_cast<size_t>(n));
}

void read_notes(std::span<const uint8_t> image, FileReport &report) {
  int32_t offset = 0;
  char key[kNoteText];
  char value[kNoteText];
  // A note table cannot hold more entries than the file has bytes; the bound only guards
  // against a cursor that stops advancing.
  for (size_t i = 0; i <= image.size(); ++i) {
    const int32_t before = offset;
    if (jbi_get_note(image.data(), static_cast<int32_t>(image.size()), &offset, key, value,
                     kNoteText) != JBI_RC_SUCCESS ||
        offset == before)
      break;
    report.notes.emplace_back(cut_text(key, kNoteText), cut_text(value, kNoteText));
  }
}

void read_actions(std::span<const uint8_t> image, int count, FileReport &report) {
  for (int i = 0; i < count; ++i) {
    const char *name = nullptr;
    const char *description = nullptr;
    JBI_PROCINFO *list = nullptr;
    const int rc = jbi_get_action_info(image.data(), static_cast<int32_t>(image.size()), i, &name,
                                       &description, &list);
    FileAction action;
    if (name) action.name = name;
    if (description) action.description = description;
    while (list) {
      action.procedures.push_back({list->name ? list->name : "", list->attributes});
      JBI_PROCINFO *next = list->next;
      jbi_free(list);
      list = next;
    }
    if (rc != JBI_RC_SUCCESS && report.refusal.empty())
      report.refusal = "action " + std::to_string(i) + " cannot be read: " + error_text[rc];
    if (name) report.actions.push_back(std::move(action));
  }
}

}  // namespace

FileReport inspect_file(std::span<const uint8_t> image) {
  FileReport report;
  report.size = image.size();
  if (image.size() > static_cast<size_t>(INT32_MAX)) {
    report.refusal = "file too large";
    return report;
  }
  const auto size = static_cast<int32_t>(image.size());
  int format = 0, action_count = 0, procedure_count = 0;
  if (jbi_get_file_info(image.data(), size, &format, &action_count, &procedure_count) !=
      JBI_RC_SUCCESS) {
    report.refusal = "not a byte-code file";
    return report;
  }
  report.format = format;
  const int crc = jbi_check_crc(image.data(), size, &report.crc_stored, &report.crc_computed);
  report.crc_checked = crc == JBI_RC_SUCCESS || crc == JBI_RC_CRC_MISMATCH;
  report.crc_ok = crc == JBI_RC_SUCCESS;
  if (crc == JBI_RC_CRC_MISMATCH) {
    char text[96];
    std::snprintf(text, sizeof text, "CRC mismatch: stored %04X, computed %04X", report.crc_stored,
                  report.crc_computed);
    report.refusal = text;
  } else if (crc != JBI_RC_SUCCESS) {
    report.refusal = "the file's CRC lies outside the file";
  }
  read_notes(image, report);
  if (format == 2) read_actions(image, action_count, report);
  return report;
}

std::string action_refusal(const FileReport &report, const std::string &action) {
  if (!report.refusal.empty()) return report.refusal;
  if (report.format != 2) return "";
  for (const FileAction &a : report.actions)
    if (a.name == action) return "";
  return "the file has no action \"" + action + "\"";
}

nlohmann::json to_json(const FileReport &report) {
  nlohmann::json j;
  j["size"] = report.size;
  j["format"] = report.format;
  j["format_name"] = report.format == 2 ? "Jam STAPL" : report.format == 1 ? "Jam 1.1" : "";
  j["crc"] = {{"checked", report.crc_checked},
              {"ok", report.crc_ok},
              {"stored", report.crc_stored},
              {"computed", report.crc_computed}};
  j["notes"] = nlohmann::json::array();
  for (const auto &[key, value] : report.notes)
    j["notes"].push_back({{"key", key}, {"value", value}});
  j["actions"] = nlohmann::json::array();
  for (const FileAction &a : report.actions) {
    nlohmann::json procs = nlohmann::json::array();
    for (const FileProcedure &p : a.procedures)
      procs.push_back({{"name", p.name}, {"attributes", p.attributes}});
    j["actions"].push_back(
        {{"name", a.name}, {"description", a.description}, {"procedures", procs}});
  }
  j["usable"] = report.refusal.empty();
  j["refusal"] = report.refusal;
  return j;
}

}  // namespace zolweb
