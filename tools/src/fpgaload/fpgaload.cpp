// fpgaload: a station's download tool. Sends a whole byte-code file to one board's or many
// boards' "DownloadFPGA" command (or, with -a or -d, to "RunFPGAAction"), shows each
// download's progress, and reports the outcome: the load status the server publishes and,
// when a load fails, the server's report of it.
//
// Exit status: 0 loaded (every board), 1 load failed, 2 no answer or no link (and for usage
// errors and files that cannot be sent).
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "dim/src/zol_load_records.h"
#include "platform/dim/dim.h"
#include "platform/dim/wire.h"
#include "platform/version.h"
#include "tools/src/fpgaload/image_check.h"
#include "tools/src/fpgaload/load_display.h"
#include "tools/src/fpgaload/load_options.h"
#include "tools/src/fpgaload/load_targets.h"
#include "tools/src/fpgaload/load_watch.h"

namespace {

constexpr int kLoaded = 0;
constexpr int kFailed = 1;
constexpr int kNoAnswer = 2;

// Largest command the messaging layer carries.
constexpr uint64_t kMaxCommandBytes = dim::wire::kMaxPayload;

void print_usage() {
  std::printf(
      "usage: fpgaload -TBOARD [-TBOARD...] [-LSECONDS] [-F] [-aACTION] [-dNAME=value...] FILE\n"
      "  Sends the byte-code FILE to the board's server, which runs its action\n"
      "  \"configure\" over JTAG, and prints the load status it publishes.\n"
      "  FILE is checked first: a file that is no byte-code file, whose CRC does not\n"
      "  match, or that has no action \"configure\" is not sent.\n"
      "  -TBOARD    target board, e.g. KeshV2_00; may be given several times and may be a\n"
      "             shell-style pattern matched against the boards the name server knows\n"
      "             (-T'KeshV2_*'): the file goes to every board at once\n"
      "  -LSECONDS  how long to wait for the outcome, per board (default 600)\n"
      "  -F         send FILE without checking it (the server reports what it finds)\n"
      "  -aACTION   run ACTION instead (e.g. -averify), through RunFPGAAction\n"
      "  -dNAME=value  initialisation entry for the run (several allowed)\n"
      "  --help, --version\n"
      "  Ctrl-C asks the servers to abort their downloads; a second Ctrl-C quits at once.\n"
      "  DIM_DNS_NODE (and DIM_DNS_PORT) must be set.\n"
      "  Exit status: 0 loaded, 1 load failed, 2 no answer, no link or unusable input.\n");
}

bool read_file(const std::string &path, std::vector<char> &bytes, std::string &error) {
  // A directory opens like a file and reports a nonsense size.
  struct stat st {};
  if (stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
    error = path + " is a directory";
    return false;
  }
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    error = "cannot read " + path + ": " + std::strerror(errno);
    return false;
  }
  in.seekg(0, std::ios::end);
  std::streamoff size = in.tellg();
  if (size < 0) {
    error = "cannot read " + path;
    return false;
  }
  if (static_cast<uint64_t>(size) > kMaxCommandBytes) {
    error = path + " is " + std::to_string(size) + " bytes; a command carries at most " +
            std::to_string(kMaxCommandBytes) + " bytes";
    return false;
  }
  bytes.resize(static_cast<size_t>(size));
  in.seekg(0);
  if (size > 0 && !in.read(bytes.data(), size)) {
    error = "cannot read " + path;
    return false;
  }
  return true;
}

// Ctrl-C: the first asks for the downloads to be aborted, the second ends fpgaload at once.
std::atomic<int> interrupts{0};

void on_interrupt(int) {
  if (interrupts.fetch_add(1) >= 1) _exit(130);
}

void catch_interrupts() {
  struct sigaction sa {};
  sa.sa_handler = on_interrupt;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGINT, &sa, nullptr);
}

using Clock = std::chrono::steady_clock;

enum class Outcome { kPending, kOk, kBad, kSilent, kUnreachable };

// One board's download as fpgaload follows it.
struct Target {
  Outcome outcome = Outcome::kPending;
  int first_download = 0;  // the server's download count before ours
  int status_before = 0;   // status deliveries before ours
  Clock::time_point started;
  double seconds = 0;
  std::string reason;
  int32_t status = 0;
  LOADREPORT report{};
  bool has_report = false;
  bool abort_sent = false;
  bool final_shown = false;  // plain output: the last count printed
};

std::string field(const char *text, size_t size) {
  size_t n = 0;
  while (n < size && text[n] != '\0') ++n;
  return std::string(text, n);
}

// The command's data: the file alone for DownloadFPGA, behind the action header otherwise.
std::vector<char> command_data(const LoadOptions &o, const std::vector<char> &image) {
  if (o.action.empty() && o.defines.empty()) return image;
  RUNACTION header{};
  const std::string action = o.action.empty() ? "configure" : o.action;
  std::memcpy(header.action, action.data(), action.size());
  std::string defines;
  for (const std::string &d : o.defines) defines += (defines.empty() ? "" : "\n") + d;
  std::memcpy(header.defines, defines.data(), defines.size());
  std::vector<char> data(sizeof header + image.size());
  std::memcpy(data.data(), &header, sizeof header);
  if (!image.empty()) std::memcpy(data.data() + sizeof header, image.data(), image.size());
  return data;
}

// Follows every board's download until it ends, its time limit passes or its link goes;
// shows progress meanwhile. Ctrl-C sends AbortDownload to every board still loading.
void follow(std::vector<Target> &targets, bool via_download, int timeout_seconds) {
  Watches &w = watches();
  const bool tty = isatty(STDOUT_FILENO) != 0;
  const size_t n = targets.size();
  size_t width = 0;
  for (const auto &b : w.boards) width = std::max(width, b->board.size());
  bool drawn = false;
  Clock::time_point last_plain = Clock::now();
  std::unique_lock lock(w.mutex);
  for (;;) {
    bool pending = false;
    const auto now = Clock::now();
    for (size_t i = 0; i < n; ++i) {
      Target &t = targets[i];
      if (t.outcome != Outcome::kPending) continue;
      BoardWatch &b = *w.boards[i];
      t.seconds = std::chrono::duration<double>(now - t.started).count();
      const bool reported =
          b.report_deliveries > 0 && static_cast<int>(b.report.download) > t.first_download;
      const bool status_in = !via_download || b.status_deliveries > t.status_before;
      // The final progress record comes just after the report; the last count shown is its.
      const bool progress_in = b.progress_deliveries == 0 || b.progress_no_link ||
                               b.progress.download > b.report.download ||
                               b.progress.state != LOAD_RUNNING;
      if (b.status_no_link && b.status_deliveries > t.status_before) {
        t.outcome = Outcome::kSilent;
        t.reason = "lost the link during the download";
      } else if (reported && status_in && progress_in) {
        t.report = b.report;
        t.has_report = true;
        t.status = b.status;
        const bool ok = via_download ? b.status == 1 : b.report.exit_code == 0;
        t.outcome = ok ? Outcome::kOk : Outcome::kBad;
        t.reason = ok ? "" : field(b.report.exit_text, sizeof b.report.exit_text);
      } else if (now - t.started >= std::chrono::seconds(timeout_seconds)) {
        t.outcome = Outcome::kSilent;
        t.reason = "no outcome within " + std::to_string(timeout_seconds) + " s";
      } else {
        pending = true;
      }
    }
    if (interrupts.load() > 0) {
      for (size_t i = 0; i < n; ++i) {
        Target &t = targets[i];
        if (t.outcome != Outcome::kPending || t.abort_sent) continue;
        t.abort_sent = true;
        const std::string cmd = "/ZOL/" + w.boards[i]->board + "/CMD/AbortDownload";
        int32_t zero = 0;
        dic_cmnd_service_(cmd.c_str(), &zero, sizeof zero);
        std::fprintf(stderr,
                     "fpgaload: asked board %s to abort its download (Ctrl-C again quits)\n",
                     w.boards[i]->board.c_str());
      }
    }
    // Progress: lines redrawn in place on a terminal, plain lines every second otherwise.
    bool newly_ended = false;
    for (const Target &t : targets) newly_ended |= t.outcome != Outcome::kPending && !t.final_shown;
    const bool plain_due = now - last_plain >= std::chrono::seconds(1);
    if (tty || plain_due || newly_ended) {
      if (tty && drawn) std::printf("\033[%zuA", n);
      for (size_t i = 0; i < n; ++i) {
        const BoardWatch &b = *w.boards[i];
        const Target &t = targets[i];
        const bool ours = static_cast<int>(b.progress.download) > t.first_download;
        std::string text;
        if (t.outcome == Outcome::kPending) {
          if (!tty && !(ours && b.progress.state == LOAD_RUNNING)) continue;
          text =
              ours && b.progress.state == LOAD_RUNNING ? progress_text(b.progress, tty) : "waiting";
        } else {
          // Plain output shows an ended download's last count once.
          if (!tty && (t.final_shown || !ours)) continue;
          text = ours ? progress_text(b.progress, tty) : "";
          text += t.outcome == Outcome::kOk ? "  done" : "  ended";
          targets[i].final_shown = true;
        }
        std::printf(tty ? "\r\033[K%-*s  %s\n" : "%-*s  %s\n", static_cast<int>(width),
                    b.board.c_str(), text.c_str());
      }
      std::fflush(stdout);
      drawn = tty;
      if (plain_due) last_plain = now;
    }
    if (!pending) return;
    w.changed.wait_for(lock, std::chrono::milliseconds(250));
  }
}

const char *outcome_text(Outcome o) {
  switch (o) {
    case Outcome::kOk:
      return "loaded";
    case Outcome::kBad:
      return "failed";
    case Outcome::kSilent:
      return "no answer";
    case Outcome::kUnreachable:
      return "unreachable";
    default:
      return "pending";
  }
}

}  // namespace

int main(int argc, char **argv) {
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  const int asks = asks_help_or_version(argc, argv);
  if (asks == ASKS_HELP || (argc == 2 && std::strcmp(argv[1], "-h") == 0)) {
    print_usage();
    return 0;
  }
  if (asks == ASKS_VERSION) {
    print_version("fpgaload");
    return 0;
  }
  std::string error;
  auto options = parse_load_options(argc, argv, error);
  if (!options) {
    std::fprintf(stderr, "fpgaload: %s\n", error.c_str());
    print_usage();
    return kNoAnswer;
  }
  std::vector<char> image;
  if (!read_file(options->file, image, error)) {
    std::fprintf(stderr, "fpgaload: %s\n", error.c_str());
    return kNoAnswer;
  }
  if (!options->unchecked &&
      !check_image(image, error, options->action.empty() ? "configure" : options->action)) {
    std::fprintf(stderr, "fpgaload: %s %s; not sent\n", options->file.c_str(), error.c_str());
    return kNoAnswer;
  }
  if (!std::getenv("DIM_DNS_NODE")) {
    std::fprintf(stderr, "fpgaload: DIM_DNS_NODE is not set\n");
    return kNoAnswer;
  }

  std::vector<std::string> boards;
  if (!resolve_boards(options->boards, boards, error, 10000)) {
    std::fprintf(stderr, "fpgaload: %s\n", error.c_str());
    return kNoAnswer;
  }
  // One board named outright keeps the single-board messages.
  const bool single = boards.size() == 1 && !is_board_pattern(options->boards[0]);
  const bool via_download = options->action.empty() && options->defines.empty();
  const std::string action = options->action.empty() ? "configure" : options->action;
  Watches &w = watches();
  for (const std::string &b : boards) {
    w.boards.push_back(std::make_unique<BoardWatch>());
    w.boards.back()->board = b;
  }
  catch_interrupts();
  auto now = std::chrono::steady_clock::now;

  // The first delivery is the status as it stands before our download; only a later one
  // answers our file. The server publishes after every download, so two good loads in a
  // row are told apart even though both publish 1. The progress record's download count
  // tells our report from earlier ones the same way.
  subscribe_all();
  std::vector<Target> targets(boards.size());
  {
    std::unique_lock lock(w.mutex);
    auto heard = [&] {
      for (const auto &b : w.boards)
        if (b->status_deliveries == 0 || (!b->status_no_link && b->progress_deliveries == 0))
          return false;
      return true;
    };
    w.changed.wait_until(lock, now() + std::chrono::seconds(10), heard);
    for (size_t i = 0; i < boards.size(); ++i) {
      BoardWatch &b = *w.boards[i];
      Target &t = targets[i];
      if (b.status_deliveries == 0) {
        if (single) {
          std::fprintf(stderr,
                       "fpgaload: no answer from the name server or /ZOL/%s/SVC/FPGALoadStatus\n",
                       boards[i].c_str());
          return kNoAnswer;
        }
        t.outcome = Outcome::kSilent;
        t.reason = "no answer from the name server or the board's server";
      } else if (b.status_no_link) {
        if (single) {
          std::fprintf(stderr, "fpgaload: the server of board %s cannot be reached\n",
                       boards[i].c_str());
          return kNoAnswer;
        }
        t.outcome = Outcome::kUnreachable;
        t.reason = "the board's server cannot be reached";
      }
      t.status_before = b.status_deliveries;
      t.first_download = static_cast<int>(b.progress.download);
      if (t.outcome == Outcome::kPending && b.progress.state == LOAD_RUNNING) {
        const int pct = progress_percent(b.progress);
        if (pct >= 0)
          std::printf("board %s is busy with a download (%d %%)\n", boards[i].c_str(), pct);
        else
          std::printf("board %s is busy with a download (%u bits shifted)\n", boards[i].c_str(),
                      b.progress.bits_shifted);
      }
    }
  }

  const std::vector<char> data = command_data(*options, image);
  const char *command_suffix = via_download ? "/CMD/DownloadFPGA" : "/CMD/RunFPGAAction";
  auto started = now();
  for (size_t i = 0; i < boards.size(); ++i) {
    if (targets[i].outcome != Outcome::kPending) continue;
    const std::string command = "/ZOL/" + boards[i] + command_suffix;
    std::printf("Sending %s (%zu bytes) to %s\n", options->file.c_str(), image.size(),
                command.c_str());
    targets[i].started = now();
    dic_cmnd_service_(command.c_str(), const_cast<char *>(data.data()),
                      static_cast<int>(data.size()));
  }
  follow(targets, via_download, options->timeout_seconds);

  if (single) {
    Target &t = targets[0];
    if (t.outcome == Outcome::kSilent) {
      if (t.reason.rfind("lost", 0) == 0)
        std::fprintf(stderr, "fpgaload: lost the link to board %s during the download\n",
                     boards[0].c_str());
      else
        std::fprintf(stderr, "fpgaload: no load status within %d seconds\n",
                     options->timeout_seconds);
      return kNoAnswer;
    }
    double seconds = std::chrono::duration<double>(now() - started).count();
    if (via_download) {
      if (t.status == 1) {
        std::printf("FPGALoadStatus 1: loaded (%.1f s)\n", seconds);
        return kLoaded;
      }
      std::printf("FPGALoadStatus %d: load failed (%.1f s); the server's log tells why\n", t.status,
                  seconds);
    } else {
      const bool ok = t.outcome == Outcome::kOk;
      std::printf("Action \"%s\" %s (%.1f s)\n", action.c_str(), ok ? "succeeded" : "failed",
                  seconds);
      if (ok) return kLoaded;
    }
    print_report(stdout, "", t.report, 20);
    return kFailed;
  }

  int status = kLoaded;
  std::vector<SummaryRow> rows;
  for (size_t i = 0; i < boards.size(); ++i) {
    const Target &t = targets[i];
    if (t.outcome == Outcome::kBad) {
      std::printf("%s failed:\n", boards[i].c_str());
      print_report(stdout, "  ", t.report, 8);
      if (status == kLoaded) status = kFailed;
    } else if (t.outcome != Outcome::kOk) {
      status = kNoAnswer;
    }
    rows.push_back(SummaryRow{boards[i], outcome_text(t.outcome), t.seconds, t.reason});
  }
  print_summary(stdout, rows.data(), rows.size());
  return status;
}
