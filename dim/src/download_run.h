// A download runs the player on a thread of its own, so that the messaging library goes on
// serving while it runs: the name-server registration, the services' deliveries, the
// download's progress and AbortDownload. Register commands, subscription commands, further
// downloads and the subscription timer wait (held_commands.h) and are served after it.
//
// The player's globals and the board belong to the download's threads from its start until
// its end is handed back to the dispatch thread, which then publishes the outcome and serves
// what was held. One download at a time.
#pragma once

#include <string>
#include <vector>

struct DOWNLOAD_JOB {
  std::vector<unsigned char> image;  // the byte-code file, copied out of the command
  std::string action;
  std::vector<std::string> defines;  // initialisation entries "NAME=value"
  int sets_status;                   // 1 for DownloadFPGA: "Status %d" and FPGALoadStatus
};

extern int Svc_LoadProgress, Svc_LoadReport;
// Adds the services FPGALoadProgress and FPGALoadReport under these names.
void add_download_services(const char *progress_name, const char *report_name);

// Any thread: 1 from a download's start until its outcome has been published.
int download_running();
// Any thread: 1 once the server has begun to stop.
int download_stopping();

// Dispatch thread, with no download running: starts the job (its contents are taken).
void download_start(DOWNLOAD_JOB *job);
// Dispatch thread: asks the running download, if any, to stop; it ends as failed with the
// TAP walked to Test-Logic-Reset.
void download_abort();
// The server's stop path (any thread but the download's): no download starts any more, and
// a running one is stopped and its outcome published before this returns (up to 10 s).
void download_shutdown();
