// The records of a download that a station can follow: its progress, its report, and the
// commands that stop a download or run any action of a byte-code file. Fixed-width fields,
// 32-bit little-endian integers and NUL-padded text, like the register records.
#pragma once

#include <cstdint>

// State of the service "FPGALoadProgress".
enum { LOAD_IDLE = 0, LOAD_RUNNING = 1, LOAD_LOADED = 2, LOAD_FAILED = 3 };

// The state's name as stations show it.
inline const char *load_state_name(uint32_t state) {
  switch (state) {
    case LOAD_IDLE:
      return "idle";
    case LOAD_RUNNING:
      return "running";
    case LOAD_LOADED:
      return "loaded";
    case LOAD_FAILED:
      return "failed";
    default:
      return "unknown";
  }
}

// Service /ZOL/<board>/SVC/FPGALoadProgress: published at least once a second while a
// download runs and once when it ends.
struct LOADPROGRESS {
  uint32_t state;         // LOAD_IDLE, LOAD_RUNNING, LOAD_LOADED or LOAD_FAILED
  uint32_t download;      // number of the download since the server started, 0 before the first
  char action[32];        // the action run, NUL-padded
  uint32_t file_size;     // bytes of the byte-code file
  uint32_t file_crc;      // CRC-32 of the whole file as received
  uint32_t bits_shifted;  // JTAG bits shifted so far (instruction and data scans)
  uint32_t bits_total;    // bits a complete run is expected to shift, 0 when not known
  uint32_t elapsed_ms;    // since the download started
  uint32_t reserved;      // 0
};

// Service /ZOL/<board>/SVC/FPGALoadReport: published after each download. Only the first
// sizeof(LOADREPORT) - sizeof(lines) + lines_bytes bytes are delivered.
struct LOADREPORT {
  uint32_t download;     // the download this reports, as in LOADPROGRESS
  int32_t exit_code;     // the player's exit code (0 success)
  uint32_t elapsed_ms;   // the download's whole time
  uint32_t lines_bytes;  // bytes used in lines, its final NUL included
  char action[32];       // NUL-padded
  char exit_text[96];    // the player's exit text, NUL-padded
  char lines[16384];     // the last printed lines of the driver and the program, '\n'-separated
};

// Command /ZOL/<board>/CMD/RunFPGAAction: this header followed by the byte-code file.
struct RUNACTION {
  char action[32];    // NUL-padded action name
  char defines[224];  // initialisation entries "NAME=value", '\n'-separated, NUL-padded
};

// Command /ZOL/<board>/CMD/AbortDownload carries one int32 (ignored).

static_assert(sizeof(LOADPROGRESS) == 64, "the progress record is 64 bytes on the wire");
static_assert(sizeof(LOADREPORT) == 16528, "the report record's full size");
static_assert(sizeof(RUNACTION) == 256, "the action header is 256 bytes on the wire");
