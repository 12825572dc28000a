// The download driver: checks a byte-code image, lists its notes and actions, runs one
// action over the JTAG port and reports the outcome and the time taken on standard output.
// The server's DownloadFPGA handler and `stapl run` both drive the player through it.
#pragma once

#include <cstdint>
#include <ctime>

// Results of the driver.
constexpr int JBI_DOWNLOAD_OK = 0;
constexpr int JBI_DOWNLOAD_FAILED = 1;
constexpr int JBI_DOWNLOAD_UNRECOGNIZED = 99;

// Runs `action` of the image with the initial values `init_list` (a null-terminated array of
// "NAME=value" strings, or null). The image is read in place and not kept.
// Returns 0 when the run succeeded with exit code 0, 99 for an unrecognised file, else 1.
int jbi_download(const unsigned char *FPGAdata, long FPGAdata_size, const char *action,
                 const char *const *init_list);

// How the last jbi_download ended, for a host that reports it beyond standard output.
// `exec_result` is the interpreter's result code (JBI_RC_FILE_ACCESS for an unrecognised
// file, which never runs); `exit_code` and `format_version` are those of the run.
struct JBI_DOWNLOAD_OUTCOME {
  int exec_result;
  int exit_code;
  int format_version;
};
extern JBI_DOWNLOAD_OUTCOME jbi_last_download;

// The server's download: jbi_download with no initial values.
int FPGADownload(const unsigned char *FPGAdata, long FPGAdata_size, const char *action);

// Text of a program's exit code for format 1 ("Jam 1.1") or 2 ("Jam STAPL") files.
const char *jbi_exit_code_text(int format_version, int exit_code);

// Prints "Elapsed time = hh:mm:ss".
void jbi_print_elapsed_time(time_t seconds);

// Accounting of the player's heap (jbi_malloc / jbi_free): blocks handed out and not yet
// released, and a cap on further allocations (-1 = none; 0 = the next jbi_malloc returns
// null). Tests use the cap to walk every allocation failure and the count to prove that
// each path releases what it took.
extern long jbi_malloc_live_blocks;
extern long jbi_malloc_budget;
// Largest block jbi_malloc hands out (0 = no cap); larger requests get null, as when memory
// runs out. Harnesses that run untrusted files set it, since a file may declare a 4 GiB array.
extern unsigned long jbi_malloc_max_block;

// The most bytes the player's heap may hold at once (0 = no limit): every allocation of a run
// counts, the variable tables, arrays, padding and scan buffers alike. A request that would go
// over it is refused before anything is allocated, so the run ends with "out of memory" (1) and
// jbi_run_end_cause() tells it was the budget. The largest real configurations need tens of
// MiB; the default leaves room for them and keeps a hostile file from taking the host down.
constexpr unsigned long JBI_DEFAULT_MEMORY_BUDGET = 256ul << 20;
extern unsigned long jbi_memory_budget;
// Bytes the player's heap holds now, and the most it has held since the host last set this
// to 0 (harnesses use it to prove a run never went over the budget).
extern unsigned long jbi_malloc_live_bytes;
extern unsigned long jbi_malloc_peak_bytes;
