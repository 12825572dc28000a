#include "tools/src/dimctl/decode.h"

#include <cstddef>
#include <cstdio>
#include <cstring>

#include "dim/src/zol_load_records.h"
#include "dim/src/zol_records.h"

namespace dimctl {

namespace {

using nlohmann::json;

std::string hex32(uint32_t v) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "0x%08X", v);
  return buf;
}

// A NUL-padded text field; a field without its NUL ends at its size.
std::string text_field(const char *field, std::size_t size) {
  return std::string(field, strnlen(field, size));
}

std::string last_name_part(const std::string &service) {
  const auto slash = service.rfind('/');
  return slash == std::string::npos ? service : service.substr(slash + 1);
}

template <typename Record>
bool whole_records(int size) {
  return size >= 0 && size % static_cast<int>(sizeof(Record)) == 0;
}

template <typename Record>
Record record_at(const unsigned char *data, int index) {
  Record r;
  std::memcpy(&r, data + static_cast<std::size_t>(index) * sizeof r, sizeof r);
  return r;
}

void join(std::string &line, const std::string &part) { line += line.empty() ? part : "; " + part; }

Decoded register_results(const unsigned char *data, int size) {
  Decoded d{"", json::array()};
  for (int i = 0; i < size / static_cast<int>(sizeof(READ)); ++i) {
    const auto r = record_at<READ>(data, i);
    join(d.text, "method " + std::to_string(r.method) + " addr " + hex32(r.addr) + " val " +
                     hex32(r.val) + " mask " + hex32(r.mask));
    d.json.push_back({{"method", r.method}, {"addr", r.addr}, {"val", r.val}, {"mask", r.mask}});
  }
  if (d.text.empty()) d.text = "(empty)";
  d.json = json{{"records", d.json}};
  return d;
}

Decoded watched_registers(const unsigned char *data, int size) {
  Decoded d{"", json::array()};
  for (int i = 0; i < size / static_cast<int>(sizeof(SUBSCRIPTION)); ++i) {
    const auto s = record_at<SUBSCRIPTION>(data, i);
    join(d.text, "addr " + hex32(s.addr) + " val " + hex32(s.val));
    d.json.push_back({{"addr", s.addr}, {"val", s.val}});
  }
  if (d.text.empty()) d.text = "(empty)";
  d.json = json{{"records", d.json}};
  return d;
}

const char *download_status_name(int32_t status) {
  switch (status) {
    case 0:
      return "none";
    case 1:
      return "loaded";
    case 2:
      return "failed";
    default:
      return "unknown";
  }
}

Decoded load_status(const unsigned char *data) {
  int32_t downloaded = 0;
  std::memcpy(&downloaded, data, sizeof downloaded);
  const char *name = download_status_name(downloaded);
  return {"Downloaded " + std::to_string(downloaded) + " (" + name + ")",
          json{{"downloaded", downloaded}, {"status", name}}};
}

Decoded load_progress(const unsigned char *data) {
  const auto p = record_at<LOADPROGRESS>(data, 0);
  const std::string action = text_field(p.action, sizeof p.action);
  const char *state = load_state_name(p.state);
  char line[256];
  std::snprintf(line, sizeof line,
                "state %s download %u action %s bits %u/%u file_size %u file_crc 0x%08X "
                "elapsed_ms %u",
                state, p.download, action.c_str(), p.bits_shifted, p.bits_total, p.file_size,
                p.file_crc, p.elapsed_ms);
  return {line, json{{"state", p.state},
                     {"state_name", state},
                     {"download", p.download},
                     {"action", action},
                     {"file_size", p.file_size},
                     {"file_crc", p.file_crc},
                     {"bits_shifted", p.bits_shifted},
                     {"bits_total", p.bits_total},
                     {"elapsed_ms", p.elapsed_ms}}};
}

constexpr int kReportHeader = static_cast<int>(offsetof(LOADREPORT, lines));

Decoded load_report(const unsigned char *data, int size) {
  LOADREPORT r;
  std::memset(&r, 0, sizeof r);
  std::memcpy(&r, data, static_cast<std::size_t>(size));
  const std::string action = text_field(r.action, sizeof r.action);
  const std::string exit_text = text_field(r.exit_text, sizeof r.exit_text);
  const std::string all_lines = text_field(r.lines, static_cast<std::size_t>(size - kReportHeader));
  json lines = json::array();
  std::string shown;
  std::size_t start = 0;
  while (start < all_lines.size()) {
    auto end = all_lines.find('\n', start);
    if (end == std::string::npos) end = all_lines.size();
    lines.push_back(all_lines.substr(start, end - start));
    shown += "\n  | " + all_lines.substr(start, end - start);
    start = end + 1;
  }
  char head[256];
  std::snprintf(head, sizeof head,
                "download %u exit_code %d exit_text \"%s\" action %s elapsed_ms %u", r.download,
                r.exit_code, exit_text.c_str(), action.c_str(), r.elapsed_ms);
  return {head + shown, json{{"download", r.download},
                             {"exit_code", r.exit_code},
                             {"exit_text", exit_text},
                             {"action", action},
                             {"elapsed_ms", r.elapsed_ms},
                             {"lines", lines}}};
}

}  // namespace

Decoded raw_words(const unsigned char *data, int size) {
  Decoded d{"", json::array()};
  char buf[16];
  int i = 0;
  for (; i + 4 <= size; i += 4) {
    const uint32_t w = uint32_t{data[i]} | uint32_t{data[i + 1]} << 8 |
                       uint32_t{data[i + 2]} << 16 | uint32_t{data[i + 3]} << 24;
    std::snprintf(buf, sizeof buf, "%s0x%08X", d.text.empty() ? "" : " ", w);
    d.text += buf;
    d.json.push_back(w);
  }
  json tail = json::array();
  if (i < size) {
    d.text += d.text.empty() ? "tail" : " tail";
    for (; i < size; ++i) {
      std::snprintf(buf, sizeof buf, " 0x%02X", data[i]);
      d.text += buf;
      tail.push_back(data[i]);
    }
  }
  if (d.text.empty()) d.text = "(empty)";
  d.json = json{{"words", d.json}};
  if (!tail.empty()) d.json["tail"] = tail;
  return d;
}

Decoded decode(const std::string &service, const unsigned char *data, int size) {
  const std::string kind = last_name_part(service);
  if (kind == "UpdateRegisters" && whole_records<READ>(size)) return register_results(data, size);
  if (kind == "UpdateSubscribedRegisters" && whole_records<SUBSCRIPTION>(size))
    return watched_registers(data, size);
  if (kind == "FPGALoadStatus" && size == 4) return load_status(data);
  if (kind == "FPGALoadProgress" && size == static_cast<int>(sizeof(LOADPROGRESS)))
    return load_progress(data);
  if (kind == "FPGALoadReport" && size >= kReportHeader &&
      size <= static_cast<int>(sizeof(LOADREPORT)))
    return load_report(data, size);
  return raw_words(data, size);
}

}  // namespace dimctl
