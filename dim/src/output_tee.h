// What the download driver and the byte-code program print during a download goes on to the
// server's standard output as always, and its last lines are also kept for the download's
// report. Standard output is passed through a pipe for the time of the download; one thread
// copies the pipe to the real output and keeps the tail. Only the download's thread calls
// these, one download at a time.
#pragma once

#include <cstddef>
#include <cstdint>

// Starts passing standard output through the pipe. 0 when it could not (the download then
// runs with its output uncaptured and the report's lines stay empty), 1 otherwise.
int tee_begin();
// Puts standard output back once everything printed has been copied, and writes the last
// whole lines (at most TEE_MAX_LINES, and what fits `size` with a final NUL) to `lines`.
// Returns the bytes written, the NUL included.
uint32_t tee_end(char *lines, size_t size);

enum { TEE_MAX_LINES = 64 };
