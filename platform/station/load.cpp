// FPGA downloads from a station. A server with the report service runs any action through
// RunFPGAAction and tells its outcome on FPGALoadReport, each download numbered; the report
// of this download is the first one with a number above the highest seen before sending.
// An older server only has DownloadFPGA, which runs "configure" and answers with
// FPGALoadStatus 1 (loaded) or 2 (failed).
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>
#include <thread>

#include "platform/dim/dim_extra.h"
#include "platform/station/board_state.h"

namespace station {

namespace {

// A server stays silent while it receives a large file and before its first progress report.
constexpr auto kSilenceLimit = std::chrono::seconds(15);
// An older server reports nothing until the download's end.
constexpr auto kOlderServerLimit = std::chrono::minutes(10);

std::vector<uint8_t> read_file(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw Error("cannot read " + path + ": " + std::strerror(errno));
  std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)),
                             std::istreambuf_iterator<char>());
  if (bytes.empty()) throw Error(path + " is empty");
  return bytes;
}

std::string text_of(const char *field, size_t size) {
  return std::string(field, strnlen(field, size));
}

// The deliveries of one service during one download.
struct Follow {
  std::mutex m;
  bool current = false;  // the contents found at subscription have arrived
  bool fill = false;
  unsigned long count = 0;
  std::vector<uint8_t> last;
};

std::unique_ptr<Subscription> follow(const std::string &service, const std::shared_ptr<Follow> &f) {
  std::weak_ptr<Follow> weak = f;
  return std::make_unique<Subscription>(service, [weak](const uint8_t *d, int n, bool fill) {
    auto live = weak.lock();
    if (!live) return;
    std::lock_guard lock(live->m);
    live->fill = fill;
    if (fill) return;
    live->current = true;
    ++live->count;
    live->last.assign(d, d + n);
  });
}

bool wait_follow(const std::shared_ptr<Follow> &f, const std::function<bool(Follow &)> &done,
                 Clock::time_point deadline) {
  auto check = [&] {
    std::lock_guard lock(f->m);
    return done(*f);
  };
  if (in_subscription_handler())
    throw Error("a download cannot be waited for inside a station callback");
  while (!check()) {
    if (Clock::now() >= deadline) return false;
    if (!dim::wait_until(check, ms_until(deadline)))
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

int send_timeout_ms(int timeout_ms, size_t bytes) {
  // Allow the file at no less than 1 MB/s on top of the usual limit.
  return timeout_ms + static_cast<int>(std::min<size_t>(bytes / 1000, 600000));
}

std::vector<std::string> split_lines(const std::string &text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// Clears the progress function when the download's wait ends, however it ends.
struct ProgressHook {
  Board::State &s;
  ProgressHook(Board::State &state, std::function<void(const LOADPROGRESS &)> fn) : s(state) {
    std::lock_guard lock(s.m);
    s.on_progress =
        fn ? std::make_shared<std::function<void(const LOADPROGRESS &)>>(std::move(fn)) : nullptr;
  }
  ~ProgressHook() {
    std::lock_guard lock(s.m);
    s.on_progress.reset();
  }
};

LoadResult older_download(Board::State &s, const std::vector<uint8_t> &file,
                          Clock::time_point deadline) {
  auto status = std::make_shared<Follow>();
  auto sub = follow(s.entry("/SVC/FPGALoadStatus"), status);
  if (!wait_follow(
          status, [](Follow &f) { return f.current || f.fill; }, deadline))
    throw Timeout("board " + s.name + ": no FPGALoadStatus within " + std::to_string(s.timeout_ms) +
                  " ms");
  unsigned long seen = 0;
  {
    std::lock_guard lock(status->m);
    if (!status->current) throw NoLink("board " + s.name + ": FPGALoadStatus cannot be reached");
    seen = status->count;
  }
  std::string why;
  if (!dim::send_command(s.entry("/CMD/DownloadFPGA"), file.data(), static_cast<int>(file.size()),
                         send_timeout_ms(s.timeout_ms, file.size()), why))
    throw NoLink("board " + s.name + ": the file was not sent: " + why);
  const bool ended = wait_follow(
      status, [seen](Follow &f) { return f.fill || f.count > seen; },
      Clock::now() + kOlderServerLimit);
  std::lock_guard lock(status->m);
  if (!ended) throw Timeout("board " + s.name + ": the download did not end within 10 minutes");
  if (status->fill) throw NoLink("board " + s.name + " lost its link during the download");
  int32_t word = 0;
  std::memcpy(&word, status->last.data(), std::min<size_t>(status->last.size(), sizeof word));
  LoadResult r;
  r.loaded = word == 1;
  r.exit_code = r.loaded ? 0 : 1;
  r.exit_text = r.loaded ? "loaded" : "failed (FPGALoadStatus " + std::to_string(word) + ")";
  return r;
}

LoadResult report_of(const std::vector<uint8_t> &bytes) {
  LOADREPORT header;
  const size_t fixed = offsetof(LOADREPORT, lines);
  std::memset(&header, 0, fixed);
  std::memcpy(&header, bytes.data(), std::min(bytes.size(), fixed));
  LoadResult r;
  r.exit_code = header.exit_code;
  r.exit_text = text_of(header.exit_text, sizeof header.exit_text);
  r.loaded = header.exit_code == 0;
  if (bytes.size() > fixed) {
    const size_t n = std::min<size_t>(bytes.size() - fixed, header.lines_bytes);
    r.lines = split_lines(text_of(reinterpret_cast<const char *>(bytes.data() + fixed), n));
  }
  return r;
}

uint32_t download_number(const std::vector<uint8_t> &report) {
  uint32_t n = 0;
  if (report.size() >= sizeof n) std::memcpy(&n, report.data(), sizeof n);
  return n;
}

std::string action_of(const std::vector<uint8_t> &report) {
  const size_t at = offsetof(LOADREPORT, action);
  if (report.size() < at + sizeof(LOADREPORT::action)) return {};
  return text_of(reinterpret_cast<const char *>(report.data() + at), sizeof(LOADREPORT::action));
}

}  // namespace

LoadResult Board::load_fpga(const std::string &path, const std::string &action,
                            const std::vector<std::string> &defines,
                            std::function<void(const LOADPROGRESS &)> progress) {
  State &s = *state_;
  RUNACTION head{};
  if (action.empty() || action.size() >= sizeof head.action)
    throw Error("an action name has 1 to " + std::to_string(sizeof head.action - 1) +
                " characters");
  std::string joined;
  for (const auto &d : defines) {
    if (d.find('=') == std::string::npos || d.find('\n') != std::string::npos)
      throw Error("'" + d + "' is not an entry NAME=value");
    joined += (joined.empty() ? "" : "\n") + d;
  }
  if (joined.size() >= sizeof head.defines)
    throw Error("the initialisation entries take more than " +
                std::to_string(sizeof head.defines - 1) + " characters");
  const std::vector<uint8_t> file = read_file(path);
  const auto deadline = Clock::now() + std::chrono::milliseconds(s.timeout_ms);
  s.ensure_link(deadline);

  auto report = std::make_shared<Follow>();
  auto sub = follow(s.entry("/SVC/FPGALoadReport"), report);
  const bool answered = wait_follow(
      report,
      [&sub](Follow &f) {
        return f.current || (f.fill && sub->lookup() != dim::ServiceLookup::kNoAnswer);
      },
      deadline);
  if (!answered)
    throw Timeout("board " + s.name + ": no FPGALoadReport within " + std::to_string(s.timeout_ms) +
                  " ms");
  bool has_report = false;
  uint32_t before = 0;
  {
    std::lock_guard lock(report->m);
    has_report = report->current;
    before = download_number(report->last);
  }
  if (!has_report) {
    if (sub->lookup() != dim::ServiceLookup::kUnknown)
      throw NoLink("board " + s.name + ": FPGALoadReport cannot be reached");
    if (action != "configure" || !defines.empty())
      throw Error("the server of board " + s.name + " only runs \"configure\", without entries");
    return older_download(s, file, deadline);
  }
  {
    std::lock_guard lock(s.m);
    if (s.progress_known) before = std::max(before, s.progress.download);
  }

  ProgressHook hook(s, std::move(progress));
  std::memcpy(head.action, action.data(), action.size());
  std::memcpy(head.defines, joined.data(), joined.size());
  std::vector<uint8_t> command(sizeof head + file.size());
  std::memcpy(command.data(), &head, sizeof head);
  std::memcpy(command.data() + sizeof head, file.data(), file.size());
  std::string why;
  if (!dim::send_command(s.entry("/CMD/RunFPGAAction"), command.data(),
                         static_cast<int>(command.size()),
                         send_timeout_ms(s.timeout_ms, command.size()), why))
    throw NoLink("board " + s.name + ": the file was not sent: " + why);

  // Waits while progress keeps coming; a silence longer than the limit ends it.
  const auto silence =
      std::max<Clock::duration>(kSilenceLimit, std::chrono::milliseconds(s.timeout_ms));
  auto ours = [before, &action](Follow &f) {
    return f.fill || (download_number(f.last) > before && action_of(f.last) == action);
  };
  unsigned long progress_seen = 0;
  auto quiet_until = Clock::now() + silence;
  for (;;) {
    if (wait_follow(report, ours, std::min(quiet_until, Clock::now() + std::chrono::seconds(1))))
      break;
    {
      std::lock_guard lock(s.m);
      if (s.progress_count != progress_seen) {
        progress_seen = s.progress_count;
        quiet_until = Clock::now() + silence;
      }
    }
    if (Clock::now() >= quiet_until)
      throw Timeout(
          "board " + s.name + ": no progress from the download for " +
          std::to_string(std::chrono::duration_cast<std::chrono::seconds>(silence).count()) + " s");
  }
  std::lock_guard lock(report->m);
  if (report->fill) throw NoLink("board " + s.name + " lost its link during the download");
  return report_of(report->last);
}

}  // namespace station
