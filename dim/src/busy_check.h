// Why a board's server does not answer register commands: a download it is running holds
// them until it ends. Station tools ask its progress service before they give up.
#pragma once

#include <cstddef>

// Asks the progress service of board `board` (waiting up to `timeout_ms` for it). When a
// download runs, writes "board B is busy with a download (42 %)" (or, with the total not
// known, how long it has run) to `out` and returns 1; otherwise returns 0.
int board_busy_text(const char *board, int timeout_ms, char *out, size_t out_size);
