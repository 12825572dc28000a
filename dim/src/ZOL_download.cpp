// The download commands. "DownloadFPGA" runs the received byte-code file's action
// "configure" over the JTAG port and publishes whether the load succeeded on
// "FPGALoadStatus"; "RunFPGAAction" runs any action of a file, with initialisation entries,
// and reports only on the progress and report services; "AbortDownload" stops the running
// one.
//
// The file is copied out of the command and run on the download's own threads
// (download_run.h): the messaging library serves on meanwhile, and register commands and
// timer runs that arrive are held and served after it, in order. A stop of the server cuts
// the run short; it then ends as failed, like any other failed run.
#include <cstdio>
#include <cstring>
#include <string>
#include <utility>

#include "dim/src/ZOL_server.h"
#include "dim/src/download_run.h"
#include "dim/src/held_commands.h"
#include "dim/src/zol_load_records.h"

int Downloaded = 0;

namespace {

int received_bytes(const void *data, const int *size) {
  return (data != nullptr && size != nullptr && *size > 0) ? *size : 0;
}

// The NUL-padded text of a fixed field; a full field has no NUL.
std::string field_text(const char *field, size_t size) {
  size_t n = 0;
  while (n < size && field[n] != '\0') ++n;
  return std::string(field, n);
}

}  // namespace

void download(long *tag, void *FPGAdata, int *size) {
  (void)tag;
  if (hold_if_busy("DownloadFPGA", download, FPGAdata, size)) return;
  DOWNLOAD_JOB job;
  const auto *bytes = static_cast<const unsigned char *>(FPGAdata);
  job.image.assign(bytes, bytes + received_bytes(FPGAdata, size));
  job.action = "configure";
  job.sets_status = 1;
  download_start(&job);
}

void run_action(long *tag, void *data, int *size) {
  (void)tag;
  if (hold_if_busy("RunFPGAAction", run_action, data, size)) return;
  const int bytes = received_bytes(data, size);
  if (bytes < static_cast<int>(sizeof(RUNACTION))) {
    std::printf("RunFPGAAction: %d bytes, less than the %d-byte header; ignored\n", bytes,
                static_cast<int>(sizeof(RUNACTION)));
    return;
  }
  RUNACTION header;
  std::memcpy(&header, data, sizeof header);
  DOWNLOAD_JOB job;
  job.action = field_text(header.action, sizeof header.action);
  const std::string defines = field_text(header.defines, sizeof header.defines);
  for (size_t at = 0; at < defines.size();) {
    size_t end = defines.find('\n', at);
    if (end == std::string::npos) end = defines.size();
    if (end > at) job.defines.push_back(defines.substr(at, end - at));
    at = end + 1;
  }
  const auto *file = static_cast<const unsigned char *>(data) + sizeof header;
  job.image.assign(file, file + (bytes - static_cast<int>(sizeof header)));
  job.sets_status = 0;
  std::printf("RunFPGAAction \"%s\" (%zu bytes)\n", job.action.c_str(), job.image.size());
  download_start(&job);
}

void abort_download(long *tag, void *data, int *size) {
  (void)tag;
  (void)data;
  (void)size;
  download_abort();
}
