#include "dim/src/download_run.h"

#include <atomic>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <utility>

#include "board/jtag_port.h"
#include "dim/src/ZOL_server.h"
#include "dim/src/crc32.h"
#include "dim/src/download_limits.h"
#include "dim/src/held_commands.h"
#include "dim/src/output_tee.h"
#include "dim/src/zol_load_records.h"
#include "platform/dim/dim.h"
#include "platform/dim/dim_extra.h"
#include "platform/dim/dispatch_post.h"
#include "stapl/src/jbiexprt.h"
#include "stapl/src/jbijtag.h"
#include "stapl/src/jbistub.h"
#include "stapl/src/svf_writer.h"

int Svc_LoadProgress = 0;
int Svc_LoadReport = 0;

namespace {

using Clock = std::chrono::steady_clock;

// Progress is published this often while a download runs.
constexpr std::chrono::milliseconds kProgressEvery{250};

std::atomic<int> Running{0};
std::atomic<int> Stopping{0};
std::atomic<int> Abort_asked{0};

// Never destroyed: a download still running when the process ends must not take it down.
std::thread &runner() {
  static auto *thread = new std::thread;
  return *thread;
}

// The running download's job: the runner's from its start to the hand-back.
DOWNLOAD_JOB Job;
uint32_t Download_count = 0;  // dispatch thread

// Shared by the runner and the dispatch thread.
std::mutex Progress_mutex;
LOADPROGRESS Progress;
Clock::time_point Started;
uint64_t Bits_base = 0;
// Bits shifted by the last complete run of each file (its CRC-32) and action.
std::map<std::pair<uint32_t, std::string>, uint32_t> Known_totals;

// Dispatch thread: what the services deliver.
LOADPROGRESS Progress_out;
LOADREPORT Report;
// Filled by the runner, taken over by the dispatch thread with the hand-back.
LOADREPORT Report_next;

void copy_text(char *out, size_t size, const std::string &text) {
  std::memset(out, 0, size);
  std::memcpy(out, text.data(), text.size() < size - 1 ? text.size() : size - 1);
}

uint32_t ms_since(Clock::time_point t) {
  return static_cast<uint32_t>(
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t).count());
}

uint32_t bits_so_far() { return static_cast<uint32_t>(jbi_bits_shifted() - Bits_base); }

void Build_ProgressSvc(long *tag, void **address, int *size) {
  (void)tag;
  {
    std::lock_guard lock(Progress_mutex);
    Progress_out = Progress;
    if (Progress.state == LOAD_RUNNING) {
      Progress_out.bits_shifted = bits_so_far();
      Progress_out.elapsed_ms = ms_since(Started);
    }
  }
  *address = &Progress_out;
  *size = sizeof Progress_out;
}

void Build_ReportSvc(long *tag, void **address, int *size) {
  (void)tag;
  *address = &Report;
  *size = static_cast<int>(offsetof(LOADREPORT, lines) + Report.lines_bytes);
}

// The report's exit code and text: the program's exit code when it ran to its end, otherwise
// the interpreter's result code negated.
void describe_outcome(int result, int aborted, LOADREPORT *r) {
  const JBI_DOWNLOAD_OUTCOME o = jbi_last_download;
  if (result == JBI_DOWNLOAD_UNRECOGNIZED) {
    r->exit_code = -JBI_RC_FILE_ACCESS;
    copy_text(r->exit_text, sizeof r->exit_text, "File format is not recognized");
  } else if (o.exec_result == JBI_RC_SUCCESS) {
    r->exit_code = o.exit_code;
    copy_text(r->exit_text, sizeof r->exit_text, jbi_exit_code_text(o.format_version, o.exit_code));
  } else if (aborted) {
    r->exit_code = -o.exec_result;
    copy_text(r->exit_text, sizeof r->exit_text, "Aborted on request (AbortDownload)");
  } else if (o.exec_result == JBI_RC_CANCELLED && jbi_run_end_cause() == JBI_END_STOP) {
    r->exit_code = -o.exec_result;
    copy_text(r->exit_text, sizeof r->exit_text, "Stopped: the server is shutting down");
  } else if (o.exec_result == JBI_RC_ACTION_NOT_FOUND) {
    r->exit_code = -o.exec_result;
    copy_text(r->exit_text, sizeof r->exit_text,
              "Action \"" + Job.action + "\" is not in this file");
  } else if (o.exec_result > 0 && o.exec_result < JBI_RC_COUNT) {
    static const char *const budget[] = {
        "", "", ": instruction budget", ": TCK budget", ": time budget", ": memory budget"};
    const int cause = jbi_run_end_cause();
    std::string text = error_text[o.exec_result];
    if (cause >= JBI_END_INSTRUCTIONS && cause <= JBI_END_MEMORY) text += budget[cause];
    r->exit_code = -o.exec_result;
    copy_text(r->exit_text, sizeof r->exit_text, text);
  } else {
    r->exit_code = -o.exec_result;
    copy_text(r->exit_text, sizeof r->exit_text, "Unknown error code");
  }
}

// Dispatch thread: the download has ended and its threads are done with the board.
void download_finished(int result, int complete) {
  runner().join();
  Report = Report_next;
  {
    std::lock_guard lock(Progress_mutex);
    Progress.state = result == JBI_DOWNLOAD_OK ? LOAD_LOADED : LOAD_FAILED;
    Progress.bits_shifted = bits_so_far();
    Progress.elapsed_ms = Report.elapsed_ms;
    if (complete) {
      Known_totals[{Progress.file_crc, Job.action}] = Progress.bits_shifted;
      Progress.bits_total = Progress.bits_shifted;
    }
  }
  const int sets_status = Job.sets_status;
  Job = DOWNLOAD_JOB{};
  Running.store(0);
  dis_update_service_(Svc_LoadReport);
  dis_update_service_(Svc_LoadProgress);
  if (sets_status) {
    Downloaded = result == JBI_DOWNLOAD_OK ? 1 : 2;
    std::printf("Status %d\n", Downloaded);
    dis_update_service_(Svc_FPGAStatus);
  }
  serve_held();
}

// ZOL_SVF_DIR names a folder where every download is also recorded as an SVF file
// (download-N-ACTION.svf), so a run can be replayed by another JTAG programmer or two runs
// compared. A recording that cannot be opened is reported and the download goes on.
void start_svf_record() {
  const char *dir = std::getenv("ZOL_SVF_DIR");
  if (dir == nullptr || *dir == '\0') return;
  std::string action;
  for (char c : Job.action)
    action += (std::isalnum(static_cast<unsigned char>(c)) || c == '_') ? c : '_';
  const std::string path = std::string(dir) + "/download-" + std::to_string(Report_next.download) +
                           "-" + action + ".svf";
  if (svf_record_open(path.c_str()) == 0)
    std::printf("SVF record: %s\n", path.c_str());
  else
    std::printf("SVF record: cannot write %s: %s\n", path.c_str(), std::strerror(errno));
  std::fflush(stdout);
}

void end_svf_record() {
  if (svf_recording && svf_record_close() != 0) {
    std::printf("SVF record: writing failed: %s\n", std::strerror(errno));
    std::fflush(stdout);
  }
}

// The player's thread: the run itself, and the TAP walked to Test-Logic-Reset after an abort.
int play() {
  recheck_jtag_hardware();
  apply_download_limits();
  start_svf_record();
  std::vector<const char *> init;
  for (const std::string &d : Job.defines) init.push_back(d.c_str());
  init.push_back(nullptr);
  const int result = jbi_download(Job.image.data(), static_cast<long>(Job.image.size()),
                                  Job.action.c_str(), Job.defines.empty() ? nullptr : init.data());
  if (Abort_asked.load() && jbi_last_download.exec_result == JBI_RC_CANCELLED &&
      jbi_run_end_cause() == JBI_END_STOP) {
    jbi_goto_jtag_state(RESET);
    std::printf("AbortDownload: download %u stopped, TAP in Test-Logic-Reset\n",
                Report_next.download);
    std::fflush(stdout);
  }
  end_svf_record();
  return result;
}

void run_download() {
  const uint32_t crc = crc32_of(Job.image.data(), Job.image.size());
  {
    std::lock_guard lock(Progress_mutex);
    Progress.file_crc = crc;
    auto known = Known_totals.find({crc, Job.action});
    Progress.bits_total = known == Known_totals.end() ? 0 : known->second;
  }
  // The first record of the download already carries the file's CRC and expected total.
  dis_update_service_(Svc_LoadProgress);
  tee_begin();

  std::mutex m;
  std::condition_variable ended;
  bool done = false;
  int result = JBI_DOWNLOAD_FAILED;
  std::thread player([&] {
    const int r = play();
    std::lock_guard lock(m);
    result = r;
    done = true;
    ended.notify_all();
  });
  {
    std::unique_lock lock(m);
    while (!ended.wait_for(lock, kProgressEvery, [&] { return done; })) {
      lock.unlock();
      dis_update_service_(Svc_LoadProgress);
      lock.lock();
    }
  }
  player.join();

  LOADREPORT &r = Report_next;
  r.elapsed_ms = ms_since(Started);
  copy_text(r.action, sizeof r.action, Job.action);
  describe_outcome(result, Abort_asked.load(), &r);
  r.lines_bytes = tee_end(r.lines, sizeof r.lines);
  const int complete =
      jbi_last_download.exec_result == JBI_RC_SUCCESS && jbi_last_download.exit_code == 0;
  dim::post_to_dispatch([result, complete] { download_finished(result, complete); });
}

}  // namespace

void add_download_services(const char *progress_name, const char *report_name) {
  Svc_LoadProgress =
      dis_add_service_(progress_name, "L:2;C:32;L:6", nullptr, 0, Build_ProgressSvc, 0);
  Svc_LoadReport = dis_add_service_(report_name, "L:2;C:32;C", nullptr, 0, Build_ReportSvc, 0);
}

int download_running() { return Running.load(); }

int download_stopping() { return Stopping.load(); }

void download_start(DOWNLOAD_JOB *job) {
  // Set before the stop flag is looked at, so that a server stopping meanwhile either
  // refuses this download here or sees it running and stops it.
  Running.store(1);
  if (Stopping.load()) {
    Running.store(0);
    return;
  }
  if (runner().joinable()) runner().join();
  jbi_clear_stop();
  Abort_asked.store(0);
  Job = std::move(*job);
  ++Download_count;
  {
    std::lock_guard lock(Progress_mutex);
    Progress = LOADPROGRESS{};
    Progress.state = LOAD_RUNNING;
    Progress.download = Download_count;
    copy_text(Progress.action, sizeof Progress.action, Job.action);
    Progress.file_size = static_cast<uint32_t>(Job.image.size());
    Started = Clock::now();
    Bits_base = jbi_bits_shifted();
  }
  std::memset(&Report_next, 0, sizeof Report_next);
  Report_next.download = Download_count;
  runner() = std::thread(run_download);
}

void download_abort() {
  if (!Running.load()) return;
  Abort_asked.store(1);
  jbi_request_stop();
}

void download_shutdown() {
  Stopping.store(1);
  for (int i = 0; i < 200 && Running.load(); ++i) {
    jbi_request_stop();
    dim::wait_until([] { return Running.load() == 0; }, 50);
  }
  jbi_request_stop();
}
